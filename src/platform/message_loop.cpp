// SPDX-License-Identifier: Apache-2.0
// The plain message loop over poll: a wake-up event, the task queue, one-shot timers and
// descriptor watches.
#include "platform/message_loop.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>

#include "platform/tick.h"

namespace quillet::platform {

namespace {
std::atomic<MessageLoop*> gGuiLoop{nullptr};
}

MessageLoop* guiLoop() {
  return gGuiLoop.load();
}
void setGuiLoop(MessageLoop* loop) {
  gGuiLoop.store(loop);
}

PlainMessageLoop::PlainMessageLoop() : owner_(std::this_thread::get_id()) {}

PlainMessageLoop::~PlainMessageLoop() {
  MessageLoop* self = this;
  gGuiLoop.compare_exchange_strong(self, nullptr);
}

void PlainMessageLoop::post(Task task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.set();
}

void PlainMessageLoop::startTimer(uint32_t id, uint32_t delayMs, Task action) {
  timers_[id] = Timer{tickMs() + delayMs, std::move(action), ++timerGeneration_};
}

void PlainMessageLoop::killTimer(uint32_t id) {
  timers_.erase(id);
}

bool PlainMessageLoop::timerActive(uint32_t id) const {
  return timers_.count(id) != 0;
}

void PlainMessageLoop::watchFd(int fd, Task onReadable) {
  unwatchFd(fd);
  watches_.push_back(Watch{fd, std::make_shared<Task>(std::move(onReadable))});
}

void PlainMessageLoop::unwatchFd(int fd) {
  std::erase_if(watches_, [fd](const Watch& w) { return w.fd == fd; });
}

void PlainMessageLoop::quit(int code) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!quitRequests_.empty()) {
      // The innermost level that is still running.
      for (auto it = quitRequests_.rbegin(); it != quitRequests_.rend(); ++it) {
        if (*it < 0) {
          *it = code < 0 ? 0 : code;
          break;
        }
      }
    }
  }
  wake_.set();
}

void PlainMessageLoop::quitLevel(int level, int code) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (level < 1 || level > static_cast<int>(quitRequests_.size())) {
      return;
    }
    int& request = quitRequests_[static_cast<size_t>(level - 1)];
    if (request < 0) {
      request = code < 0 ? 0 : code;
    }
  }
  wake_.set();
}

void PlainMessageLoop::quitAll(int code) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quitAll_ = true;
    quitAllCode_ = code;
  }
  wake_.set();
}

bool PlainMessageLoop::closing() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return quitAll_;
}

int32_t PlainMessageLoop::msUntilNextTimer() const {
  if (timers_.empty()) {
    return -1;
  }
  uint32_t now = tickMs();
  int32_t best = INT32_MAX;
  for (const auto& [id, timer] : timers_) {
    int32_t left = tickDiff(timer.due, now);
    best = std::min(best, left < 0 ? 0 : left);
  }
  return best;
}

// One pass: waits up to maxWaitMs (or until the next timer / a wake-up), then runs what is
// ready. Answers the number of actions run.
int PlainMessageLoop::step(int32_t maxWaitMs) {
  int32_t wait = msUntilNextTimer();
  if (maxWaitMs >= 0 && (wait < 0 || wait > maxWaitMs)) {
    wait = maxWaitMs;
  }
  std::vector<pollfd> polls;
  polls.reserve(watches_.size() + 1);
  polls.push_back(pollfd{wake_.fd(), POLLIN, 0});
  for (const Watch& w : watches_) {
    polls.push_back(pollfd{w.fd, POLLIN, 0});
  }
  int n = ::poll(polls.data(), polls.size(), wait);
  if (n < 0 && errno != EINTR) {
    return 0;
  }
  if ((polls[0].revents & POLLIN) != 0) {
    wake_.tryTake();
  }
  int ran = 0;
  // Watches first, taken from the poll result; a watch removed by an earlier action in
  // this pass does not run.
  for (size_t i = 1; i < polls.size(); ++i) {
    if ((polls[i].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) == 0) {
      continue;
    }
    int fd = polls[i].fd;
    auto it =
        std::find_if(watches_.begin(), watches_.end(), [fd](const Watch& w) { return w.fd == fd; });
    if (it == watches_.end()) {
      continue;
    }
    std::shared_ptr<Task> action = it->action;  // survives an unwatch inside the action
    (*action)();
    ++ran;
  }
  // Expired timers: each is removed before its action runs.
  uint32_t now = tickMs();
  struct Due {
    int32_t late;
    uint32_t id;
    uint64_t generation;
  };
  std::vector<Due> due;
  for (const auto& [id, timer] : timers_) {
    int32_t late = tickDiff(now, timer.due);
    if (late >= 0) {
      due.push_back(Due{late, id, timer.generation});
    }
  }
  // The one due first runs first (an earlier action may kill a later one).
  std::stable_sort(due.begin(), due.end(),
                   [](const Due& a, const Due& b) { return a.late > b.late; });
  for (const auto& [late, id, generation] : due) {
    auto it = timers_.find(id);
    // Killed or re-armed by an earlier action of this pass: skip.
    if (it == timers_.end() || it->second.generation != generation) {
      continue;
    }
    Task action = std::move(it->second.action);
    timers_.erase(it);
    action();
    ++ran;
  }
  // Tasks queued before this point, taken one at a time so that a nested run inside a
  // task carries on with the queue in order; later tasks wait for the next pass, so a task
  // that posts itself cannot starve timers and watches.
  size_t count;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    count = tasks_.size();
  }
  for (size_t i = 0; i < count; ++i) {
    Task task;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (tasks_.empty() || quitAll_ || (!quitRequests_.empty() && quitRequests_.back() >= 0)) {
        if (!tasks_.empty()) {
          wake_.set();  // the level that continues runs the rest
        }
        break;
      }
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
    ++ran;
  }
  return ran;
}

int PlainMessageLoop::run() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (quitAll_) {
      return quitAllCode_;
    }
    quitRequests_.push_back(-1);
  }
  ++depth_;
  int code = 0;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (quitAll_) {
        code = quitAllCode_;
        break;
      }
      if (quitRequests_.back() >= 0) {
        code = quitRequests_.back();
        break;
      }
    }
    step(-1);
  }
  --depth_;
  std::lock_guard<std::mutex> lock(mutex_);
  quitRequests_.pop_back();
  return code;
}

int PlainMessageLoop::runPending() {
  return step(0);
}

}  // namespace quillet::platform
