// SPDX-License-Identifier: Apache-2.0
// The GUI thread's message loop over Qt's event loop: posted tasks as queued calls, timers
// by identifier as single-shot QTimers, descriptor watches as socket notifiers and nested
// runs as QEventLoops, so that the window, its dialogs and the application share one loop.
// quitAll() ends the modal dialogs' own loops too, by closing the dialogs.
#pragma once

#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <map>
#include <memory>
#include <vector>

#include "platform/message_loop.h"

class QEventLoop;

namespace quillet::ui {

class QtMessageLoop : public QObject, public platform::MessageLoop {
  Q_OBJECT
 public:
  QtMessageLoop();
  ~QtMessageLoop() override;

  void post(Task task) override;
  void startTimer(uint32_t id, uint32_t delayMs, Task action) override;
  void killTimer(uint32_t id) override;
  bool timerActive(uint32_t id) const override;
  void watchFd(int fd, Task onReadable) override;
  void unwatchFd(int fd) override;
  int run() override;
  void quit(int code = 0) override;
  void quitLevel(int level, int code = 0) override;
  void quitAll(int code = 0) override;
  bool closing() const override { return quitAll_.load(); }
  int depth() const override { return static_cast<int>(levels_.size()); }
  bool isLoopThread() const override;

 protected:
  // While closing, a dialog that shows is closed at once.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Level {
    QEventLoop* loop;
    bool quit = false;
    int code = 0;
  };
  struct Watch {
    std::unique_ptr<QSocketNotifier> notifier;
    std::shared_ptr<Task> action;
  };
  void quitOnLoopThread(int code, bool all);
  void closeModalDialogs();

  std::map<uint32_t, std::unique_ptr<QTimer>> timers_;
  std::map<int, Watch> watches_;
  std::vector<Level> levels_;  // innermost last
  std::atomic<bool> quitAll_{false};
  int quitAllCode_ = 0;
  bool filtering_ = false;  // the closing filter of dialogs is installed
};

}  // namespace quillet::ui
