// SPDX-License-Identifier: Apache-2.0
// Tests of the Call-ID, tag and branch generators.
#include "sip/sip_ids.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>
#include <vector>

namespace quillet::sip {
namespace {

TEST(SipIds, RandomPartThenCountersProcessAndDevice) {
  SipIds ids(1234, "Windows Mobile Device", 1733480000, 123456);
  const std::regex callId("[0-9a-f]{8}-1733480000-1234-Windows%20Mobi@203\\.0\\.113\\.7");
  EXPECT_TRUE(std::regex_match(ids.newCallId("203.0.113.7"), callId));
  EXPECT_TRUE(std::regex_match(ids.newTag(), std::regex("[0-9a-f]{8}3456")));  // tick % 10000
  EXPECT_TRUE(std::regex_match(ids.newTag(), std::regex("[0-9a-f]{8}3457")));
  EXPECT_TRUE(std::regex_match(ids.newBranch(), std::regex("z9hG4bK[0-9a-f]{8}01234")));
  // The device name is cut by characters, then escaped.
  EXPECT_TRUE(std::regex_match(SipIds(7, "h\xC3\xB6stname-with-long-tail", 1, 0).newCallId("h"),
                               std::regex("[0-9a-f]{8}-1-7-h%C3%B6stname-wit@h")));
}

TEST(SipIds, TwoStartsAtTheSameMomentCannotBeTold) {
  // Same process id, host, time and tick (a restart a stranger could predict): the values
  // still differ, in their random part.
  SipIds first(99, "host", 1000, 5);
  SipIds second(99, "host", 1000, 5);
  std::set<std::string> prefixes;
  for (int i = 0; i < 64; ++i) {
    EXPECT_NE(first.newTag(), second.newTag());
    EXPECT_NE(first.newBranch(), second.newBranch());
    EXPECT_NE(first.newCallId("a"), second.newCallId("a"));
    prefixes.insert(first.newTag().substr(0, 8));
  }
  EXPECT_GT(prefixes.size(), 60u);
}

TEST(SipIds, ConcurrentUsersNeverShareAValue) {
  SipIds ids(1, "host", 100, 0);
  std::vector<std::vector<std::string>> seen(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) seen[t].push_back(ids.newBranch());
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::string> all;
  for (auto& list : seen) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), 2000u);
}

}  // namespace
}  // namespace quillet::sip
