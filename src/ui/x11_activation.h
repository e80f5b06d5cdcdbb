// SPDX-License-Identifier: Apache-2.0
// Bringing the window to the front on an X11 desktop when the user asked for it from
// outside the window (a second start, a launcher, a hot key, the tray): the server refuses
// a focus change stamped older than the last one, and Qt stamps it with the last event it
// saw, so the request goes with the current time, through the window manager when one runs.
#pragma once

class QWidget;

namespace quillet::ui {

// Does nothing where the display is not X11.
void activateOnX11(QWidget* window);

}  // namespace quillet::ui
