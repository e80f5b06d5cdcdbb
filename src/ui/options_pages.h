// SPDX-License-Identifier: Apache-2.0
// The pages of the Options dialog, made by index.
#pragma once

#include <cstdint>

#include "ui/options_dialog.h"

namespace quillet::ui {

// The title shown in the page menu.
QString optionsPageTitle(int32_t index);
OptionsPageWidget* makeOptionsPage(int32_t index, base::SettingsStore& store,
                                   platform::Prompts& prompts, QWidget* parent);

}  // namespace quillet::ui
