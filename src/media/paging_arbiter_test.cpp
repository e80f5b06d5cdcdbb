// SPDX-License-Identifier: Apache-2.0
// Which page plays: priorities taking over and giving back, group paging channels held by
// their first sender, refused and muted pages, senders gone quiet, a storm of senders.
#include "media/paging_arbiter.h"

#include <gtest/gtest.h>

namespace quillet::media {
namespace {

PageInfo page(int32_t priority, const std::string& caller = "x") {
  PageInfo info;
  info.priority = priority;
  info.caller = caller;
  return info;
}

std::string playing(const PageArbiter& arbiter) {
  return arbiter.current() ? arbiter.current()->caller : "none";
}

TEST(PageArbiter, HigherPriorityTakesOverAndGivesBack) {
  PageArbiter arbiter(nullptr);
  const PageKey a{0, 1, 0};
  const PageKey b{1, 2, 0};
  const PageKey c{2, 3, 0};
  EXPECT_TRUE(arbiter.packet(a, page(3, "a"), false, 0));
  EXPECT_FALSE(arbiter.packet(c, page(3, "c"), false, 5));  // equal: the first stays
  EXPECT_TRUE(arbiter.packet(b, page(9, "b"), false, 10));
  EXPECT_EQ(arbiter.current()->level, PageLevel::Priority);
  EXPECT_FALSE(arbiter.packet(a, page(3, "a"), false, 20));
  arbiter.end(b);
  EXPECT_EQ(playing(arbiter), "a");
  arbiter.mute(arbiter.current()->id);
  EXPECT_EQ(playing(arbiter), "c");
  EXPECT_FALSE(arbiter.packet(a, page(3, "a"), false, 30));  // muted until it ends
  // Senders quiet for a second have ended.
  arbiter.packet(c, page(3, "c"), false, 900);
  arbiter.expire(1500);
  EXPECT_EQ(playing(arbiter), "c");
  arbiter.expire(1900);
  EXPECT_EQ(playing(arbiter), "none");
  EXPECT_TRUE(arbiter.packet(a, page(3, "a"), false, 2000));  // a new page of that sender
}

TEST(PageArbiter, ChannelBelongsToItsFirstSenderTieToLowerSerial) {
  PageArbiter arbiter(nullptr);
  const PageKey high{0, 0x500, 7};
  const PageKey low{0, 0x100, 7};
  const PageKey lower{0, 0x050, 7};
  EXPECT_TRUE(arbiter.packet(high, page(5, "high"), true, 0));
  EXPECT_TRUE(arbiter.packet(low, page(5, "low"), true, 10));  // both alerting: lower serial
  EXPECT_FALSE(arbiter.packet(high, page(5, "high"), true, 20));
  EXPECT_TRUE(arbiter.packet(low, page(5, "low"), false, 30));  // transmitting now
  EXPECT_FALSE(arbiter.packet(lower, page(5, "lower"), true, 40));
  EXPECT_EQ(playing(arbiter), "low");
  // An End lets what was sent play out, and nothing after it.
  arbiter.end(low, 100, 300);
  EXPECT_FALSE(arbiter.packet(low, page(5, "low"), false, 150));
  arbiter.expire(399);
  EXPECT_EQ(playing(arbiter), "low");
  arbiter.expire(400);
  EXPECT_EQ(playing(arbiter), "none");
  // Another channel of the same group is another page.
  EXPECT_TRUE(arbiter.packet({0, 0x050, 25}, page(10, "emergency"), true, 50));
}

TEST(PageArbiter, RefusedPagesNeverPlayAndStreamsAreBounded) {
  int asked = 0;
  PageArbiter arbiter([&](const PageInfo& info) {
    ++asked;
    return info.priority != 2;
  });
  EXPECT_FALSE(arbiter.packet({0, 1, 0}, page(2), false, 0));
  EXPECT_FALSE(arbiter.packet({0, 1, 0}, page(2), false, 1));
  EXPECT_EQ(asked, 1);  // asked once per page
  for (uint64_t sender = 2; sender < 1000; ++sender) {
    arbiter.packet({0, sender, 0}, page(1), false, 2);
  }
  EXPECT_EQ(asked, static_cast<int>(PageArbiter::kMostStreams));
  EXPECT_GT(arbiter.ignored(), 900u);
  EXPECT_EQ(arbiter.current()->priority, 1);

  // The log lines of such a storm: five in five seconds, the rest counted.
  LogBudget budget;
  int logged = 0;
  for (uint32_t ms = 0; ms < 10000; ms += 10) logged += budget.allow(ms);
  EXPECT_EQ(logged, 10);
  EXPECT_EQ(budget.takeHeldBack(), 990u);
  EXPECT_EQ(budget.takeHeldBack(), 0u);
}

}  // namespace
}  // namespace quillet::media
