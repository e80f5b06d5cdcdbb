// SPDX-License-Identifier: Apache-2.0
// The GUI thread's message loop: tasks posted from any thread, one-shot timers by
// identifier, descriptor watches, and nested runs for modal questions.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/event.h"

namespace quillet::platform {

class MessageLoop {
 public:
  using Task = std::function<void()>;

  virtual ~MessageLoop() = default;

  // Queues a task to run on the loop thread (callable from any thread, also while no run()
  // is active: the task waits for the next run). Tasks run in the order posted.
  virtual void post(Task task) = 0;

  // Arms timer `id` to run `action` once on the loop thread after `delayMs`. The timer is
  // killed before its action runs, so an action that wants to repeat re-arms itself.
  // Arming an armed id replaces its delay and action. Loop thread only.
  virtual void startTimer(uint32_t id, uint32_t delayMs, Task action) = 0;
  // Disarms the timer; its action will not run. Unknown ids are ignored. Loop thread only.
  virtual void killTimer(uint32_t id) = 0;
  virtual bool timerActive(uint32_t id) const = 0;

  // Runs `onReadable` on the loop thread whenever fd is readable, until unwatched.
  // Loop thread only.
  virtual void watchFd(int fd, Task onReadable) = 0;
  virtual void unwatchFd(int fd) = 0;

  // Runs the loop until quit() ends this level. May be called from inside a task (a nested
  // run, e.g. for a modal question); timers, tasks and watches keep working inside it.
  // Answers the code given to quit().
  virtual int run() = 0;
  // Ends the innermost running level (callable from any thread).
  virtual void quit(int code = 0) = 0;
  // Ends running level `level` (1: the outermost run); it returns once the levels inside
  // it have returned. Other levels are left alone. Loop thread only.
  virtual void quitLevel(int level, int code = 0) = 0;
  // Ends every running level; later runs end at once (closing the program).
  virtual void quitAll(int code = 0) = 0;
  virtual bool closing() const = 0;
  // Nesting depth of run() (0 when not running).
  virtual int depth() const = 0;

  // True on the thread that runs the loop (or created it, before the first run).
  virtual bool isLoopThread() const = 0;
};

// The loop of the GUI thread, set by the executable (or a test) for code that needs it
// without being handed one (NotifyWindow). Null until set.
MessageLoop* guiLoop();
void setGuiLoop(MessageLoop* loop);

// The plain implementation over poll, for headless runs and tests.
class PlainMessageLoop : public MessageLoop {
 public:
  PlainMessageLoop();
  ~PlainMessageLoop() override;

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
  bool closing() const override;
  int depth() const override { return depth_; }
  bool isLoopThread() const override { return std::this_thread::get_id() == owner_; }

  // Runs what is due now (tasks, expired timers, ready watches) without blocking, for
  // tests that drive the loop step by step. Answers the number of actions run.
  int runPending();

 private:
  struct Timer {
    uint32_t due;
    Task action;
    uint64_t generation;
  };
  struct Watch {
    int fd;
    std::shared_ptr<Task> action;
  };
  int step(int32_t maxWaitMs);
  int32_t msUntilNextTimer() const;

  std::thread::id owner_;
  Event wake_{Event::Reset::Auto};
  mutable std::mutex mutex_;
  std::deque<Task> tasks_;            // guarded by mutex_
  std::vector<int> quitRequests_;     // per level: -1 running, else the code; guarded
  bool quitAll_ = false;              // guarded
  int quitAllCode_ = 0;               // guarded
  std::map<uint32_t, Timer> timers_;  // loop thread only
  uint64_t timerGeneration_ = 0;
  std::vector<Watch> watches_;  // loop thread only
  int depth_ = 0;
};

}  // namespace quillet::platform
