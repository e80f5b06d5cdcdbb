// The Qt dialogs behind the window's Dialogs interface.
#pragma once

#include <memory>

#include "ui/dialogs.h"

namespace quillet::base {
class SettingsStore;
}
namespace quillet::platform {
class Prompts;
}

namespace quillet::ui {

// Dialogs on the given settings, telling the user through `prompts`.
std::unique_ptr<Dialogs> qtDialogs(base::SettingsStore& store, platform::Prompts& prompts);

}  // namespace quillet::ui
