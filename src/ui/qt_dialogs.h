// SPDX-License-Identifier: Apache-2.0
// The Qt dialogs behind the window's Dialogs interface.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ui/dialogs.h"

namespace quillet::base {
class SettingsStore;
}
namespace quillet::platform {
class Prompts;
}

namespace quillet::ui {

// Dialogs on the given settings, telling the user through `prompts`. The network wizard
// tries `stunServers` (empty: the built-in servers).
std::unique_ptr<Dialogs> qtDialogs(base::SettingsStore& store, platform::Prompts& prompts,
                                   std::vector<std::string> stunServers = {});

}  // namespace quillet::ui
