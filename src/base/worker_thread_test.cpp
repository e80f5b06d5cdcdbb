// SPDX-License-Identifier: Apache-2.0
// Worker threads: the start/stop protocol, the stop-aware waits, detached workers.
#include "base/worker_thread.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/tick.h"

namespace quillet::base {
namespace {

using platform::Event;

// Counts its runs and waits for its stop event (or returns at once when told to).
class CountingWorker : public WorkerThread {
 public:
  ~CountingWorker() override { Stop(); }
  std::atomic<int> runs{0};
  std::atomic<bool> ignoreStopFor{false};
  Event started{Event::Reset::Auto};

 protected:
  void Run() override {
    ++runs;
    started.set();
    if (ignoreStopFor.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      return;
    }
    stopEvent().wait();
  }
};

TEST(WorkerThread, StartOnRunningWorkerLeavesThreadAndStopEventAlone) {
  CountingWorker worker;
  worker.Stop();  // never started: returns at once
  EXPECT_FALSE(worker.hasThread());
  worker.Start();
  ASSERT_TRUE(worker.started.wait(5000));
  worker.Start();
  EXPECT_EQ(worker.runs.load(), 1);
  EXPECT_TRUE(worker.running());
  worker.Stop();
  EXPECT_FALSE(worker.running());
  EXPECT_FALSE(worker.hasThread());
  // Restart after a stop: a new Run with a reset stop event.
  worker.Start();
  ASSERT_TRUE(worker.started.wait(5000));
  EXPECT_EQ(worker.runs.load(), 2);
  EXPECT_FALSE(worker.stopRequested());
}

TEST(WorkerThread, TimedOutStopLingersAndNextStartReapsIt) {
  CountingWorker worker;
  worker.ignoreStopFor = true;
  worker.Start();
  ASSERT_TRUE(worker.started.wait(5000));
  worker.Stop(10);  // the worker sleeps 300 ms regardless
  EXPECT_FALSE(worker.running());
  EXPECT_TRUE(worker.hasThread());
  worker.ignoreStopFor = false;
  worker.Start();  // waits (up to 1000 ms) for the old thread first
  ASSERT_TRUE(worker.started.wait(5000));
  EXPECT_EQ(worker.runs.load(), 2);
  EXPECT_TRUE(worker.running());
}

// Descriptors ran out when the worker was made: its stop event has none, so a thread
// started now could never be stopped. Start refuses; once descriptors are there again it
// makes the event and the worker starts and stops normally.
TEST(WorkerThread, StartWithoutAStopEventDescriptorFailsAndLaterWorks) {
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit none = old;
  none.rlim_cur = 0;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  auto worker = std::make_unique<CountingWorker>();
  const bool started = worker->Start();
  setrlimit(RLIMIT_NOFILE, &old);
  ASSERT_TRUE(worker->started.open());
  EXPECT_FALSE(started);
  EXPECT_FALSE(worker->running());
  worker->Stop();  // nothing to wait for
  ASSERT_TRUE(worker->Start());
  EXPECT_TRUE(worker->started.wait(2000));
  worker->Stop();
  EXPECT_FALSE(worker->running());
}

TEST(WorkerThread, WaitsReportEachOutcomeWithUpToSeventyHandles) {
  CountingWorker worker;  // never started: its stop event is the test's to set
  Event event(Event::Reset::Auto);
  EXPECT_EQ(WaitForEventOrStop(worker, event, 5), WaitResult::TimedOut);
  event.set();
  EXPECT_EQ(WaitForEventOrStop(worker, event, 5), WaitResult::Signalled);
  std::vector<Event> owned(70);
  std::vector<Event*> events;
  for (Event& event : owned) events.push_back(&event);
  EXPECT_EQ(WaitForAnyOrStop(worker, events, 200), WaitResult::TimedOut);
  int index = -1;
  events[66]->set();
  EXPECT_EQ(WaitForAnyOrStop(worker, events, 1000, &index), WaitResult::Signalled);
  EXPECT_EQ(index, 66);
  events[66]->reset();
  // A stop set while waiting is seen (well within one 150 ms slice of the old design).
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    worker.stopEvent().set();
  });
  uint32_t start = platform::tickMs();
  EXPECT_EQ(WaitForAnyOrStop(worker, events, 60000), WaitResult::StopRequested);
  EXPECT_LT(platform::tickDiff(platform::tickMs(), start), 30000);
  stopper.join();
  EXPECT_EQ(WaitForEventOrStop(worker, event, 5000), WaitResult::StopRequested);
}

class OneShot : public OneShotWorker {
 public:
  OneShot(std::atomic<int>& deleted, bool waitForStop)
      : deleted_(deleted), waitForStop_(waitForStop) {}
  ~OneShot() override {
    Stop();
    ++deleted_;
  }

 protected:
  void Run() override {
    if (waitForStop_) {
      stopEvent().wait();
    }
  }

 private:
  std::atomic<int>& deleted_;
  bool waitForStop_;
};

TEST(DetachedWorkerList, FinishedWorkerDeletesItselfOnce) {
  std::atomic<int> deleted{0};
  DetachedWorkerList list;
  list.StartDetached(std::make_unique<OneShot>(deleted, false));
  for (int i = 0; i < 500 && deleted.load() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(deleted.load(), 1);
  EXPECT_EQ(list.size(), 0u);
}

TEST(DetachedWorkerList, EveryWorkerDeletedExactlyOnceUnderStartStopRace) {
  for (int round = 0; round < 50; ++round) {
    std::atomic<int> deleted{0};
    DetachedWorkerList list;
    // Workers that wait for their stop, and workers that end by themselves at about the
    // moment StopAll runs.
    for (int i = 0; i < 20; ++i) {
      list.StartDetached(std::make_unique<OneShot>(deleted, i % 2 == 0));
    }
    list.StopAll();
    EXPECT_EQ(deleted.load(), 20) << "round " << round;
    EXPECT_EQ(list.size(), 0u);
  }
}

}  // namespace
}  // namespace quillet::base
