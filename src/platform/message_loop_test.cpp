// SPDX-License-Identifier: Apache-2.0
// The plain message loop (its descriptor watch carries the control socket of
// file_open_test; the headless program's prompts, with a question open while a call goes
// on, are close_e2e's and intercom_e2e's).
#include "platform/message_loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <numeric>
#include <thread>
#include <vector>

#include "platform/tick.h"

namespace quillet::platform {
namespace {

TEST(PlainMessageLoop, RunsTasksPostedFromOtherThreadsInOrder) {
  PlainMessageLoop loop;
  std::vector<int> seen;
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) {
      loop.post([&seen, i] { seen.push_back(i); });
    }
    loop.post([&] {
      EXPECT_TRUE(loop.isLoopThread());
      loop.quit(7);
    });
  });
  EXPECT_EQ(loop.run(), 7);
  poster.join();
  std::vector<int> expected(100);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(seen, expected);
}

TEST(PlainMessageLoop, NestedRunContinuesTheQueueInOrder) {
  PlainMessageLoop loop;
  std::vector<std::string> order;
  loop.post([&] {
    order.push_back("A");
    loop.post([&] {
      order.push_back("C");
      loop.quit();  // ends the nested run
    });
    loop.run();
    order.push_back("A done");
  });
  loop.post([&] { order.push_back("B"); });
  loop.post([&] { loop.post([&] { loop.quit(); }); });
  loop.run();
  EXPECT_EQ(order, (std::vector<std::string>{"A", "B", "C", "A done"}));
}

TEST(PlainMessageLoop, TimersRearmAndKilledOrReplacedOnesDoNotRunTheirOldAction) {
  PlainMessageLoop loop;
  int fired = 0;
  std::function<void()> action = [&] {
    EXPECT_FALSE(loop.timerActive(1));  // killed before the action runs
    if (++fired < 3) {
      loop.startTimer(1, 5, action);
    } else {
      loop.startTimer(6, 50, [&] { loop.quit(); });  // after the others were due
    }
  };
  loop.startTimer(1, 5, action);
  bool killedRan = false;
  bool oldRan = false;
  bool newRan = false;
  loop.startTimer(2, 1, [&] { killedRan = true; });
  loop.killTimer(2);
  loop.startTimer(3, 1, [&] { oldRan = true; });
  loop.startTimer(3, 20, [&] { newRan = true; });
  // A timer that fires first kills timer 4, which is due in the same pass. (Started first,
  // so that a slow start of the next timer cannot make timer 4 the earlier one.)
  loop.startTimer(5, 1, [&] { loop.killTimer(4); });
  loop.startTimer(4, 4, [&] { killedRan = true; });
  ::usleep(10000);
  loop.run();
  EXPECT_EQ(fired, 3);
  EXPECT_FALSE(killedRan);
  EXPECT_FALSE(oldRan);
  EXPECT_TRUE(newRan);
}

TEST(PlainMessageLoop, TimersWorkAcrossTheTickWrap) {
  uint32_t raw = tickMs();
  setTickOffset(0xFFFFFFFFu - 10 - raw);  // the clock wraps 10 ms from now
  PlainMessageLoop loop;
  bool fired = false;
  loop.startTimer(1, 40, [&] {
    fired = true;
    loop.quit();
  });
  loop.startTimer(2, 5000, [&] { loop.quit(); });  // safety net
  loop.run();
  setTickOffset(0);
  EXPECT_TRUE(fired);
}

TEST(PlainMessageLoop, NestedRunKeepsTimersGoingAndQuitAllEndsEveryLevel) {
  PlainMessageLoop loop;
  int innerResult = -1;
  bool timerInNested = false;
  loop.post([&] {
    loop.startTimer(9, 5, [&] {
      timerInNested = loop.depth() == 2;
      loop.quit(3);  // ends the nested level only
    });
    innerResult = loop.run();
    EXPECT_EQ(loop.depth(), 1);
    loop.post([&] {
      loop.post([&] { ADD_FAILURE() << "ran after quitAll"; });
      loop.quitAll(5);
      EXPECT_EQ(loop.run(), 5);  // a run while closing ends at once
    });
  });
  EXPECT_EQ(loop.run(), 5);
  EXPECT_EQ(innerResult, 3);
  EXPECT_TRUE(timerInNested);
  EXPECT_TRUE(loop.closing());
}

}  // namespace
}  // namespace quillet::platform
