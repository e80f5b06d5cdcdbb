// SPDX-License-Identifier: Apache-2.0
// NotifyWindow over the message loop: each post carries a shared target whose owner
// pointer is cleared when the owner goes.
#include "base/notify_window.h"

namespace quillet::base {

NotifyWindow::NotifyWindow() : loop_(platform::guiLoop()), target_(std::make_shared<Target>()) {
  target_->owner.store(this);
}

NotifyWindow::NotifyWindow(platform::MessageLoop& loop)
    : loop_(&loop), target_(std::make_shared<Target>()) {
  target_->owner.store(this);
}

NotifyWindow::~NotifyWindow() {
  detachNotify();
}

void NotifyWindow::detachNotify() {
  target_->owner.store(nullptr);
}

void NotifyWindow::Post() {
  if (loop_ == nullptr) {
    return;  // no GUI loop in this process: nobody could run OnNotify
  }
  std::shared_ptr<Target> target = target_;
  loop_->post([target] {
    NotifyWindow* owner = target->owner.load();
    if (owner != nullptr) {
      owner->OnNotify();
    }
  });
}

}  // namespace quillet::base
