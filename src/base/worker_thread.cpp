// SPDX-License-Identifier: Apache-2.0
// WorkerThread, the stop-aware waits and the detached one-shot workers.
#include "base/worker_thread.h"

#include <algorithm>
#include <chrono>
#include <vector>

namespace quillet::base {

bool WorkerThread::ThreadState::waitExited(int32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex);
  if (timeoutMs < 0) {
    cv.wait(lock, [this] { return exited; });
    return true;
  }
  return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return exited; });
}

void WorkerThread::ThreadState::markExited() {
  std::lock_guard<std::mutex> lock(mutex);
  exited = true;
  cv.notify_all();  // under the lock: the state may be freed right after by a waiter
}

WorkerThread::WorkerThread() = default;

WorkerThread::~WorkerThread() {
  Stop(kInfinite);
  reapLingering(kInfinite);
}

bool WorkerThread::hasThread() const {
  return state_ != nullptr;
}

void WorkerThread::reapLingering(int32_t timeoutMs) {
  for (Lingering& old : abandoned_) {
    if (old.state->waitExited(timeoutMs) && old.thread.joinable()) {
      old.thread.join();
    }
  }
  std::erase_if(abandoned_, [](const Lingering& old) { return !old.thread.joinable(); });
}

bool WorkerThread::Start(int priority) {
  std::lock_guard<std::mutex> lock(startLock_);
  if (state_ && running_.load()) {
    return true;
  }
  if (!stopEvent_.open()) {
    return false;
  }
  if (state_) {
    // Lingering: an earlier Stop timed out (or Run returned with nobody stopping it).
    if (state_->waitExited(1000)) {
      if (thread_.joinable()) {
        thread_.join();
      }
    } else if (thread_.joinable()) {
      abandoned_.push_back(Lingering{std::move(thread_), state_});
    }
    state_.reset();
  }
  reapLingering(0);
  stopEvent_.reset();
  running_.store(true);
  uint64_t generation = ++generation_;
  auto state = std::make_shared<ThreadState>();
  state_ = state;
  detached_ = false;
  thread_ = std::thread([this, state, priority, generation] {
    state->tid.store(platform::currentThreadId());
    platform::setThreadPriority(state->tid.load(), priority);
    Run();
    if (generation_.load() == generation) {
      running_.store(false);
    }
    platform::forgetThreadPriority();
    state->markExited();  // the object may be gone after this
  });
  return true;
}

void WorkerThread::Stop(int32_t timeoutMs) {
  std::lock_guard<std::mutex> lock(startLock_);
  if (!state_) {
    return;
  }
  stopEvent_.set();
  if (state_->tid.load() == platform::currentThreadId()) {
    return;  // the worker's own thread: Run returns on its own
  }
  // Let a low-priority worker finish while the caller waits for it.
  pid_t tid = state_->tid.load();
  if (tid != 0) {
    platform::setThreadPriority(tid, platform::currentThreadPriority());
  }
  if (state_->waitExited(timeoutMs)) {
    if (thread_.joinable()) {
      thread_.join();
    }
    state_.reset();
  } else {
    running_.store(false);
  }
}

// ---------------------------------------------------------------------------------------

namespace {
constexpr auto kFailedWaitPause = std::chrono::milliseconds(10);

WaitResult failedWait() {
  std::this_thread::sleep_for(kFailedWaitPause);
  return WaitResult::Failed;
}
}  // namespace

WaitResult WaitForEventOrStop(WorkerThread& worker, platform::Event& event, int32_t timeoutMs) {
  platform::Event* events[2] = {&event, &worker.stopEvent()};
  int result = platform::waitAny(events, timeoutMs);
  if (result == 0) {
    return WaitResult::Signalled;
  }
  if (result == platform::kWaitTimedOut) {
    return WaitResult::TimedOut;
  }
  if (result == platform::kWaitFailed) {
    return failedWait();
  }
  return WaitResult::StopRequested;
}

WaitResult WaitForAnyOrStop(WorkerThread& worker, std::span<platform::Event* const> events,
                            int32_t timeoutMs, int* index) {
  std::vector<platform::Event*> all(events.begin(), events.end());
  all.push_back(&worker.stopEvent());
  int result = platform::waitAny(all, timeoutMs);
  if (result == platform::kWaitTimedOut) {
    return WaitResult::TimedOut;
  }
  if (result == platform::kWaitFailed) {
    return failedWait();
  }
  if (result >= 0 && static_cast<size_t>(result) < events.size()) {
    if (index != nullptr) {
      *index = result;
    }
    return WaitResult::Signalled;
  }
  return WaitResult::StopRequested;
}

WaitResult WaitForReadableOrStop(WorkerThread& worker, int fd, int32_t timeoutMs) {
  platform::Event* events[1] = {&worker.stopEvent()};
  int fds[1] = {fd};
  int result = platform::waitAnyOrReadable(events, fds, timeoutMs);
  if (result == 1) {
    return WaitResult::Signalled;
  }
  if (result == platform::kWaitTimedOut) {
    return WaitResult::TimedOut;
  }
  if (result == platform::kWaitFailed) {
    return failedWait();
  }
  return WaitResult::StopRequested;
}

// ---------------------------------------------------------------------------------------

DetachedWorkerList::~DetachedWorkerList() {
  StopAll();
}

DetachedWorkerList& DetachedWorkerList::global() {
  static DetachedWorkerList* list = new DetachedWorkerList();  // drained explicitly at exit
  return *list;
}

bool DetachedWorkerList::StartDetached(std::unique_ptr<OneShotWorker> owned, int priority) {
  if (!owned->stopEvent_.open()) {
    return false;
  }
  OneShotWorker* worker = owned.release();
  auto state = std::make_shared<WorkerThread::ThreadState>();
  // Everything is set up and the thread created under the list lock, so that StopAll never
  // sees a listed worker without its thread state, and the thread's own unlink waits.
  std::lock_guard<std::mutex> lock(mutex_);
  workers_.push_back(worker);
  ++alive_;
  {
    std::lock_guard<std::mutex> startLock(worker->startLock_);
    worker->list_ = this;
    worker->detached_ = true;
    worker->stopEvent_.reset();
    worker->running_.store(true);
    worker->state_ = state;
  }
  std::thread thread([worker, state, priority] {
    state->tid.store(platform::currentThreadId());
    platform::setThreadPriority(state->tid.load(), priority);
    detachedProcedure(worker, state);
    platform::forgetThreadPriority();
  });
  thread.detach();
  return true;
}

void DetachedWorkerList::detachedProcedure(OneShotWorker* worker,
                                           std::shared_ptr<WorkerThread::ThreadState> state) {
  worker->Run();
  worker->running_.store(false);
  DetachedWorkerList* list = worker->list_;
  if (list->unlink(worker)) {
    // Still listed: this thread owns the worker now. Its thread counts as gone before the
    // destructor's Stop looks at it.
    state->markExited();
    delete worker;
    std::lock_guard<std::mutex> lock(list->mutex_);
    --list->alive_;
    list->drained_.notify_all();
  } else {
    // StopAll unlinked it and waits for this mark before it deletes the worker.
    state->markExited();
  }
}

bool DetachedWorkerList::unlink(OneShotWorker* worker) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find(workers_.begin(), workers_.end(), worker);
  if (it == workers_.end()) {
    return false;
  }
  workers_.erase(it);
  return true;
}

void DetachedWorkerList::SignalAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (OneShotWorker* worker : workers_) {
    worker->stopEvent_.set();
  }
}

void DetachedWorkerList::StopAll() {
  SignalAll();
  for (;;) {
    OneShotWorker* worker;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (workers_.empty()) {
        break;
      }
      worker = workers_.front();
      workers_.erase(workers_.begin());
    }
    worker->Stop(kInfinite);
    delete worker;
    std::lock_guard<std::mutex> lock(mutex_);
    --alive_;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  drained_.wait(lock, [this] { return alive_ == 0; });
}

size_t DetachedWorkerList::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return workers_.size();
}

}  // namespace quillet::base
