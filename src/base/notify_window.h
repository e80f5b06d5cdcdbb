// SPDX-License-Identifier: Apache-2.0
// NotifyWindow: how a worker thread makes its owner's OnNotify run on the GUI thread.
// Posts that arrive after the owner is gone are swallowed.
#pragma once

#include <atomic>
#include <memory>

#include "platform/message_loop.h"

namespace quillet::base {

class NotifyWindow {
 public:
  // Posts go to the given loop; the default constructor uses platform::guiLoop() (posts are
  // dropped when none is set).
  NotifyWindow();
  explicit NotifyWindow(platform::MessageLoop& loop);
  virtual ~NotifyWindow();
  NotifyWindow(const NotifyWindow&) = delete;
  NotifyWindow& operator=(const NotifyWindow&) = delete;

  // Any thread: asks for OnNotify to run on the loop thread. Several posts give several
  // calls; the owner's flags say what happened.
  void Post();

  // Stops delivery now (the owner clears its pointer before it dies). Derived classes call
  // it first in their destructor; the base destructor calls it too.
  void detachNotify();

 protected:
  virtual void OnNotify() = 0;

 private:
  struct Target {
    std::atomic<NotifyWindow*> owner;
  };
  platform::MessageLoop* loop_;
  std::shared_ptr<Target> target_;
};

}  // namespace quillet::base
