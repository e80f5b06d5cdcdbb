// SPDX-License-Identifier: Apache-2.0
// ResponseCache: which retransmissions match, how often they are answered, and its bounds.
#include "sip/response_cache.h"

#include <gtest/gtest.h>

namespace quillet::sip {
namespace {

MessageIdentity request(std::string via = "SIP/2.0/UDP 1.2.3.4;branch=z9hG4bK1") {
  MessageIdentity id;
  id.isRequest = true;
  id.callId = "call-1";
  id.cseq = "1 INVITE";
  id.topVia = std::move(via);
  id.to = "<sip:bob@h>";
  id.from = "<sip:alice@h>;tag=9";
  return id;
}

SipTarget address(uint16_t port) {
  return udpTarget(*platform::SocketAddress::parse("127.0.0.1", port));
}

TEST(ResponseCache, RetransmittedRequestGetsTheNewestAnswer) {
  ResponseCache cache;
  cache.store(request(), "180 text", address(1), 1000);
  cache.store(request(), "200 text", address(2), 1100);
  const auto hit = cache.match(request(), 1200);
  ASSERT_TRUE(hit.matched);
  ASSERT_TRUE(hit.resend);
  EXPECT_EQ(hit.text, "200 text");
  EXPECT_EQ(hit.to.address.port(), 2);
}

// Every part of the identity must be equal; a response's record also compares the status.
TEST(ResponseCache, EveryIdentityPartMustBeEqual) {
  MessageIdentity ok = request();
  ok.isRequest = false;
  ok.status = 200;
  ResponseCache cache;
  cache.store(request(), "answer", address(1), 0);
  cache.store(ok, "ACK", address(1), 0);
  std::vector<MessageIdentity> others(5, request());
  others[0].topVia = "SIP/2.0/UDP 1.2.3.4;branch=z9hG4bK2";
  others[1].cseq = "2 INVITE";
  others[2].to = "<sip:bob@h>;tag=5";
  others[3].isRequest = false;
  others[3].status = 183;
  others[4].from = "<sip:alice@h>;tag=8";
  for (const MessageIdentity& other : others) EXPECT_FALSE(cache.match(other, 10).matched);
  EXPECT_EQ(cache.match(request(), 10).text, "answer");
  EXPECT_EQ(cache.match(ok, 10).text, "ACK");
}

TEST(ResponseCache, AnswersAtMostSixteenTimesButStillSwallows) {
  ResponseCache cache;
  cache.store(request(), "answer", address(1), 0);
  for (int i = 0; i < ResponseCache::kMaxResends; ++i) {
    const auto hit = cache.match(request(), 10);
    EXPECT_TRUE(hit.resend) << i;
  }
  const auto hit = cache.match(request(), 10);
  EXPECT_TRUE(hit.matched);
  EXPECT_FALSE(hit.resend);
}

TEST(ResponseCache, RecordsExpireAfterThirtySecondsAcrossTheTickWrap) {
  ResponseCache cache;
  const uint32_t start = 0xFFFFF000u;
  cache.store(request(), "answer", address(1), start);
  EXPECT_TRUE(cache.match(request(), start + 30000).matched);
  EXPECT_FALSE(cache.match(request(), start + 30001).matched);
  EXPECT_EQ(cache.size(), 0u);
}

TEST(ResponseCache, SizeIsBoundedUnderAFlood) {
  ResponseCache cache;
  for (uint32_t i = 0; i < ResponseCache::kMaxRecords + 500; ++i) {
    MessageIdentity id = request();
    id.callId = "flood-" + std::to_string(i);
    cache.store(id, std::string(100, 'x'), address(1), i);
  }
  EXPECT_EQ(cache.size(), ResponseCache::kMaxRecords);
  EXPECT_EQ(cache.bytes(), ResponseCache::kMaxRecords * 100);
  MessageIdentity newest = request();
  newest.callId = "flood-" + std::to_string(ResponseCache::kMaxRecords + 499);
  EXPECT_TRUE(cache.match(newest, 5000).matched);
  MessageIdentity oldest = request();
  oldest.callId = "flood-0";
  EXPECT_FALSE(cache.match(oldest, 5000).matched);
}

}  // namespace
}  // namespace quillet::sip
