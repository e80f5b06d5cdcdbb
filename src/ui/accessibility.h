// SPDX-License-Identifier: Apache-2.0
// What screen readers announce for the controls of the window and the dialogs: their
// accessible names and, where the name does not say what a control is for, descriptions.
#pragma once

#include <QString>

class QWidget;

namespace quillet::ui {

// Sets the name read for `control` and, when `description` is not empty, its description.
void setAccessible(QWidget* control, const QString& name, const QString& description = {});

// A label's or button's text as it is read: without mnemonic marks, a key hint in
// parentheses ("Intercom (F5)") or a trailing colon.
QString spokenText(const QString& text);

// Names each control under `root` (buttons, fields, lists, sliders, meters) that has no
// accessible name yet: after the label that is its buddy, else its tool tip. A button with
// a text is read by that text, which stays current as it changes. A tool tip that says
// more than the name becomes the description. The field inside a combo, spin or key box
// takes the name of its box.
void nameControls(QWidget* root);

}  // namespace quillet::ui
