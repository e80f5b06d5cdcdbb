// SPDX-License-Identifier: Apache-2.0
// What a windowed run needs before its window exists: the Qt application object, the
// Qt-backed loop and prompts.
#pragma once

#include <QApplication>
#include <memory>

#include "ui/qt_message_loop.h"
#include "ui/qt_prompts.h"
#include "ui/translations.h"

namespace quillet::ui {

class QtSession {
 public:
  // Null when there is no display Qt could open (no DISPLAY or WAYLAND_DISPLAY, or an X
  // server that does not answer), so that the caller can run headless instead.
  static std::unique_ptr<QtSession> open(int& argc, char** argv);

  QtMessageLoop& loop() { return *loop_; }
  QtPrompts& prompts() { return *prompts_; }

 private:
  QtSession(int& argc, char** argv);

  QApplication application_;
  std::unique_ptr<Translations> translations_;
  std::unique_ptr<QtMessageLoop> loop_;
  std::unique_ptr<QtPrompts> prompts_;
};

}  // namespace quillet::ui
