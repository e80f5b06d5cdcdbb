// SPDX-License-Identifier: Apache-2.0
// Worker threads: WorkerThread with its stop event and start/stop protocol, the waits
// that always include the stop event, and self-deleting one-shot workers kept in a
// DetachedWorkerList that is drained at exit.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/thread_priority.h"

namespace quillet::base {

// Failed: the wait itself failed (poll refused); the caller carries on, the wait having
// paused a little so that a lasting failure does not spin.
enum class WaitResult : int { Signalled = 0, StopRequested = 1, TimedOut = 2, Failed = 3 };

using platform::kInfinite;

class DetachedWorkerList;

// A thread object. Derived classes implement Run() and MUST call Stop() in their own
// destructor (Run may use their members, which die before the base destructor runs).
class WorkerThread {
 public:
  WorkerThread();
  virtual ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Starts the thread at the given priority (platform::ThreadPriority numbers). Does nothing
  // while a thread runs (the stop event is left alone). A thread left behind by a Stop
  // that timed out is first waited for up to 1000 ms. Answers false, starting nothing,
  // when the stop event has no descriptor (a thread that could never be stopped).
  bool Start(int priority = platform::kPriorityNormal);
  // Sets the stop event and waits for the thread up to timeoutMs (kInfinite: no limit).
  // On time-out the thread is left lingering and the running flag is cleared.
  void Stop(int32_t timeoutMs = kInfinite);

  bool running() const { return running_.load(); }
  // True while a thread exists (running, or lingering after a timed-out Stop).
  bool hasThread() const;
  platform::Event& stopEvent() { return stopEvent_; }
  // Zero-time test of the stop event.
  bool stopRequested() { return stopEvent_.isSet(); }

 protected:
  virtual void Run() = 0;

 private:
  friend class DetachedWorkerList;
  // What outlives the object's knowledge of a thread: whether it has left Run.
  struct ThreadState {
    std::mutex mutex;
    std::condition_variable cv;
    bool exited = false;
    std::atomic<pid_t> tid{0};
    bool waitExited(int32_t timeoutMs);
    void markExited();
  };
  struct Lingering {
    std::thread thread;
    std::shared_ptr<ThreadState> state;
  };

  void reapLingering(int32_t timeoutMs);

  std::mutex startLock_;
  platform::Event stopEvent_{platform::Event::Reset::Manual};
  std::atomic<bool> running_{false};
  std::atomic<uint64_t> generation_{0};  // which thread may clear running_
  std::thread thread_;                   // joinable while a normal thread exists
  std::shared_ptr<ThreadState> state_;   // the current thread's state (null: none)
  bool detached_ = false;                // a one-shot thread: no join, deleted by itself
  std::vector<Lingering> abandoned_;     // threads still running after Start gave up on them
};

// Waits for the event or the worker's stop event.
WaitResult WaitForEventOrStop(WorkerThread& worker, platform::Event& event, int32_t timeoutMs);
// Waits for any of the events (any number of them) or the worker's stop event. A caller's
// event that is set wins over the stop event, as the lowest index does; `index` (optional)
// receives the index of the signalled event.
WaitResult WaitForAnyOrStop(WorkerThread& worker, std::span<platform::Event* const> events,
                            int32_t timeoutMs, int* index = nullptr);
// Waits until the descriptor is readable or the worker is asked to stop.
WaitResult WaitForReadableOrStop(WorkerThread& worker, int fd, int32_t timeoutMs);

// A worker that deletes itself when its Run returns (through its list), or is stopped and
// deleted by the list at exit.
class OneShotWorker : public WorkerThread {
 public:
  OneShotWorker() = default;
  ~OneShotWorker() override = default;

 private:
  friend class DetachedWorkerList;
  DetachedWorkerList* list_ = nullptr;
};

// The self-deleting workers that are still alive. Each worker is deleted exactly once and
// only after its thread has left Run: by its own thread when it finishes while listed, or
// by StopAll after it unlinked the worker and waited for its thread.
class DetachedWorkerList {
 public:
  DetachedWorkerList() = default;
  ~DetachedWorkerList();  // StopAll()

  // The process-wide list, drained by the executable at exit.
  static DetachedWorkerList& global();

  // Lists the worker and starts its thread. The list owns the worker from here on.
  // False, deleting the worker, when its stop event has no descriptor.
  bool StartDetached(std::unique_ptr<OneShotWorker> worker,
                     int priority = platform::kPriorityNormal);
  // Sets the stop event of every listed worker.
  void SignalAll();
  // SignalAll, then stops and deletes every listed worker (waiting without limit), and
  // waits for workers that are deleting themselves at this moment.
  void StopAll();
  size_t size() const;

 private:
  // Unlinks the worker when listed; answers whether it was.
  bool unlink(OneShotWorker* worker);
  static void detachedProcedure(OneShotWorker* worker,
                                std::shared_ptr<WorkerThread::ThreadState> state);

  mutable std::mutex mutex_;
  std::condition_variable drained_;
  std::vector<OneShotWorker*> workers_;  // owned
  size_t alive_ = 0;                     // listed workers plus those deleting themselves right now
};

}  // namespace quillet::base
