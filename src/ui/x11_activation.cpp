// SPDX-License-Identifier: Apache-2.0
// Raising and focusing the main window on X11 with the current time.
#include "ui/x11_activation.h"

#include <QGuiApplication>
#include <QWidget>

// Xlib last: its macros (Bool, Status, KeyPress) clash with Qt's headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace quillet::ui {

namespace {

bool windowManagerRuns(Display* display) {
  const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
  Atom type = None;
  int format = 0;
  unsigned long items = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  const int status = XGetWindowProperty(display, DefaultRootWindow(display), check, 0, 1, False,
                                        XA_WINDOW, &type, &format, &items, &after, &data);
  if (data != nullptr) {
    XFree(data);
  }
  return status == Success && items == 1;
}

}  // namespace

void activateOnX11(QWidget* window) {
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  Display* display = x11 != nullptr ? x11->display() : nullptr;
  if (display == nullptr || window == nullptr) {
    return;
  }
  const Window id = static_cast<Window>(window->winId());
  const Window root = DefaultRootWindow(display);
  if (windowManagerRuns(display)) {
    // _NET_ACTIVE_WINDOW from a user's action (source 2): the manager raises and focuses.
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = id;
    event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2;
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
  } else {
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(display, id, &attributes) != 0 && attributes.map_state == IsViewable) {
      XRaiseWindow(display, id);
      XSetInputFocus(display, id, RevertToParent, CurrentTime);
    }
  }
  XFlush(display);
}

}  // namespace quillet::ui
