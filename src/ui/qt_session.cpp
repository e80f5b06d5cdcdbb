// SPDX-License-Identifier: Apache-2.0
// Opening the Qt application only where a display answers.
#include "ui/qt_session.h"

#include <X11/Xlib.h>

#include <cstdlib>
#include <cstring>

namespace quillet::ui {

namespace {

bool hasValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// Qt ends the process when its platform cannot start: look first.
bool displayAnswers() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform != nullptr && *platform != '\0' && std::strncmp(platform, "xcb", 3) != 0) {
    return std::strncmp(platform, "wayland", 7) != 0 || hasValue("WAYLAND_DISPLAY");
  }
  if (hasValue("WAYLAND_DISPLAY") && platform == nullptr) {
    return true;
  }
  if (!hasValue("DISPLAY")) {
    return false;
  }
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    return false;
  }
  XCloseDisplay(display);
  return true;
}

}  // namespace

std::unique_ptr<QtSession> QtSession::open(int& argc, char** argv) {
  if (!displayAnswers()) {
    return nullptr;
  }
  return std::unique_ptr<QtSession>(new QtSession(argc, argv));
}

QtSession::QtSession(int& argc, char** argv) : application_(argc, argv) {
  QApplication::setApplicationName(QStringLiteral("Quillet"));
  QApplication::setDesktopFileName(QStringLiteral("quillet"));
  translations_ = std::make_unique<Translations>();
  // Hidden in the tray the program goes on; it ends through its Exit command.
  QApplication::setQuitOnLastWindowClosed(false);
  loop_ = std::make_unique<QtMessageLoop>();
  prompts_ = std::make_unique<QtPrompts>(*loop_);
}

}  // namespace quillet::ui
