// SPDX-License-Identifier: Apache-2.0
// Events, the combined wait and the tick clock (the wait on sockets is every socket's
// receive in the SIP, RTP and end-to-end tests).
#include "platform/event.h"

#include <gtest/gtest.h>

#include "platform/tick.h"

namespace quillet::platform {
namespace {

TEST(Event, ManualStaysSetUntilResetAndAutoGivesOneSignalPerWait) {
  Event manual(Event::Reset::Manual), automatic(Event::Reset::Auto);
  manual.set();
  EXPECT_TRUE(manual.wait(0));
  EXPECT_TRUE(manual.wait(0));
  manual.reset();
  EXPECT_FALSE(manual.wait(0));
  automatic.set();
  automatic.set();  // two sets before a wait still make one signal
  EXPECT_TRUE(automatic.wait(0));
  EXPECT_FALSE(automatic.wait(0));
}

TEST(Event, WaitAnyAnswersLowestSignalledIndexOrTimeout) {
  Event a, b(Event::Reset::Auto), c;
  EXPECT_EQ(waitAny({&a, &b, &c}, 10), kWaitTimedOut);
  c.set();
  b.set();
  EXPECT_EQ(waitAny({&a, &b, &c}, 0), 1);
  EXPECT_EQ(waitAny({&a, &b, &c}, 0), 2);  // b was taken, c is manual
}

TEST(Tick, OffsetShiftsTheClockAndDiffIsWrapSafe) {
  uint32_t before = tickMs();
  setTickOffset(0xFFFFFFFFu - 1000 - before);  // about one second before the wrap
  uint32_t near = tickMs();
  EXPECT_GT(near, 0xFFFF0000u);
  EXPECT_EQ(tickDiff(near + 2000, near), 2000);
  EXPECT_EQ(tickDiff(near, near + 2000), -2000);
  EXPECT_LT(near + 2000, near);  // wrapped, yet the difference is right
  setTickOffset(0);
}

}  // namespace
}  // namespace quillet::platform
