// SPDX-License-Identifier: Apache-2.0
// The Qt-backed message loop.
#include "ui/qt_message_loop.h"

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QThread>
#include <set>

namespace quillet::ui {

QtMessageLoop::QtMessageLoop() = default;

QtMessageLoop::~QtMessageLoop() {
  MessageLoop* self = this;
  if (platform::guiLoop() == self) {
    platform::setGuiLoop(nullptr);
  }
}

void QtMessageLoop::post(Task task) {
  // A queued call is safe from any thread and keeps the order of posting; it waits for
  // the next event processing when no run() is active.
  QMetaObject::invokeMethod(
      this, [task = std::move(task)] { task(); }, Qt::QueuedConnection);
}

void QtMessageLoop::startTimer(uint32_t id, uint32_t delayMs, Task action) {
  auto timer = std::make_unique<QTimer>();
  timer->setSingleShot(true);
  timer->setTimerType(Qt::PreciseTimer);
  QTimer* raw = timer.get();
  QObject::connect(raw, &QTimer::timeout, this, [this, id, raw, action = std::move(action)] {
    auto it = timers_.find(id);
    if (it == timers_.end() || it->second.get() != raw) {
      return;  // killed or re-armed meanwhile
    }
    // The timer is gone before its action runs; the action may re-arm the same id.
    std::unique_ptr<QTimer> fired = std::move(it->second);
    timers_.erase(it);
    Task run = action;
    fired.release()->deleteLater();
    run();
  });
  raw->start(static_cast<int>(delayMs));
  auto it = timers_.find(id);
  if (it != timers_.end()) {
    it->second.release()->deleteLater();
    timers_.erase(it);
  }
  timers_[id] = std::move(timer);
}

void QtMessageLoop::killTimer(uint32_t id) {
  auto it = timers_.find(id);
  if (it != timers_.end()) {
    it->second->stop();
    it->second.release()->deleteLater();
    timers_.erase(it);
  }
}

bool QtMessageLoop::timerActive(uint32_t id) const {
  return timers_.count(id) != 0;
}

void QtMessageLoop::watchFd(int fd, Task onReadable) {
  unwatchFd(fd);
  Watch watch{std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read),
              std::make_shared<Task>(std::move(onReadable))};
  std::weak_ptr<Task> action = watch.action;
  QObject::connect(watch.notifier.get(), &QSocketNotifier::activated, this, [action] {
    if (std::shared_ptr<Task> task = action.lock()) {
      (*task)();  // kept alive through an unwatch inside the action
    }
  });
  watches_[fd] = std::move(watch);
}

void QtMessageLoop::unwatchFd(int fd) {
  auto it = watches_.find(fd);
  if (it != watches_.end()) {
    it->second.notifier->setEnabled(false);
    it->second.notifier.release()->deleteLater();
    watches_.erase(it);
  }
}

int QtMessageLoop::run() {
  if (quitAll_) {
    return quitAllCode_;
  }
  QEventLoop loop;
  levels_.push_back(Level{&loop});
  loop.exec();
  const Level level = levels_.back();
  levels_.pop_back();
  return quitAll_ ? quitAllCode_ : level.code;
}

void QtMessageLoop::quit(int code) {
  if (!isLoopThread()) {
    QMetaObject::invokeMethod(
        this, [this, code] { quitOnLoopThread(code, false); }, Qt::QueuedConnection);
    return;
  }
  quitOnLoopThread(code, false);
}

void QtMessageLoop::quitLevel(int level, int code) {
  if (level < 1 || level > static_cast<int>(levels_.size())) {
    return;
  }
  Level& target = levels_[static_cast<size_t>(level - 1)];
  if (!target.quit) {
    target.quit = true;
    target.code = code < 0 ? 0 : code;
    target.loop->exit(target.code);
  }
}

void QtMessageLoop::quitAll(int code) {
  quitAll_ = true;
  if (!isLoopThread()) {
    QMetaObject::invokeMethod(
        this, [this, code] { quitOnLoopThread(code, true); }, Qt::QueuedConnection);
    return;
  }
  quitOnLoopThread(code, true);
}

void QtMessageLoop::quitOnLoopThread(int code, bool all) {
  if (all) {
    quitAllCode_ = code;
    for (Level& level : levels_) {
      level.quit = true;
      level.loop->exit(code);
    }
    closeModalDialogs();
    return;
  }
  // The innermost level still running.
  for (auto it = levels_.rbegin(); it != levels_.rend(); ++it) {
    if (!it->quit) {
      it->quit = true;
      it->code = code < 0 ? 0 : code;
      it->loop->exit(it->code);
      return;
    }
  }
}

// A modal dialog's exec() is a loop level of its own that only the dialog ends: each is
// closed as its title bar's close button would (Cancel, nothing stored), the innermost
// first so that a dialog is never hidden with its parent while its own exec() still runs.
// One that takes its time (a test being cancelled) closes itself, the rest are closed all
// the same. Dialogs that open from now on are closed as soon as they show.
void QtMessageLoop::closeModalDialogs() {
  if (qApp == nullptr) {
    return;
  }
  if (!filtering_) {
    filtering_ = true;
    qApp->installEventFilter(this);
  }
  std::set<QWidget*> tried;
  while (QWidget* modal = QApplication::activeModalWidget()) {
    if (!tried.insert(modal).second) {
      break;
    }
    modal->close();
  }
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (qobject_cast<QDialog*>(widget) != nullptr && widget->isVisible() &&
        tried.count(widget) == 0) {
      widget->close();
    }
  }
}

bool QtMessageLoop::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Show) {
    auto* dialog = qobject_cast<QDialog*>(watched);
    if (dialog != nullptr && dialog->isWindow()) {
      // Queued: the dialog's own exec() loop, once it runs, carries out the close.
      QMetaObject::invokeMethod(
          dialog,
          [dialog = QPointer<QDialog>(dialog)] {
            if (dialog != nullptr) {
              dialog->close();
            }
          },
          Qt::QueuedConnection);
    }
  }
  return false;
}

bool QtMessageLoop::isLoopThread() const {
  return QThread::currentThread() == thread();
}

}  // namespace quillet::ui
