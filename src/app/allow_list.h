// Which callers an intercom call is let through for: everybody, or those whose address
// contains an item of the allow list.
#pragma once

#include <string_view>

#include "base/settings_store.h"

namespace quillet::app {

// Intercom/AllowAll (default yes) lets everybody through; otherwise the caller's address
// must contain an item of Intercom/Allow (case-sensitive). An empty list allows nobody;
// an empty item (two commas in a row) matches every address.
bool isCallerAllowed(base::SettingsStore& store, std::string_view address);

}  // namespace quillet::app
