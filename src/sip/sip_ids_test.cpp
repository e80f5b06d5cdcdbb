// SPDX-License-Identifier: Apache-2.0
// Tests of the Call-ID, tag and branch generators.
#include "sip/sip_ids.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

namespace quillet::sip {
namespace {

TEST(SipIds, FormsFromCountersProcessAndDevice) {
  SipIds ids(1234, "Windows Mobile Device", 1733480000, 123456);
  EXPECT_EQ(ids.newCallId("203.0.113.7"), "1733480000-1234-Windows%20Mobi@203.0.113.7");
  EXPECT_EQ(ids.newCallId("203.0.113.7"), "1733480001-1234-Windows%20Mobi@203.0.113.7");
  EXPECT_EQ(ids.newTag(), "3456");  // starts at the tick modulo 10000
  EXPECT_EQ(ids.newTag(), "3457");
  EXPECT_EQ(ids.newBranch(), "z9hG4bK01234");
  EXPECT_EQ(ids.newBranch(), "z9hG4bK11234");
  // The device name is cut by characters, then escaped.
  EXPECT_EQ(SipIds(7, "h\xC3\xB6stname-with-long-tail", 1, 0).newCallId("h"),
            "1-7-h%C3%B6stname-wit@h");
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
