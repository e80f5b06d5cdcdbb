// SPDX-License-Identifier: Apache-2.0
// The Hot Keys page of the Options dialog: the hot-key records, grabbed and listed.
#pragma once

#include "ui/options_dialog.h"

namespace quillet::ui {

OptionsPageWidget* makeHotKeysPage(QWidget* parent);

}  // namespace quillet::ui
