// SPDX-License-Identifier: Apache-2.0
// Tests of SrtpContext: each suite carries RTP and RTCP both ways; a wrong key, a replay and a
// cut tag are refused.
#include "media/srtp_context.h"

#include <gtest/gtest.h>

#include <vector>

#include "media/rtcp_packet.h"
#include "media/rtp_packet.h"

namespace quillet::media {
namespace {

std::vector<uint8_t> rtpPacket(uint16_t sequence, size_t payload = 160) {
  std::vector<uint8_t> packet(kRtpHeaderSize + payload + kSrtpMaxGrowth);
  writeRtpHeader(packet.data(), false, 0, sequence, sequence * 160u, 0x11223344);
  for (size_t i = 0; i < payload; ++i) packet[kRtpHeaderSize + i] = static_cast<uint8_t>(i * 7);
  packet.resize(kRtpHeaderSize + payload);
  return packet;
}

struct Pair {
  std::unique_ptr<SrtpContext> send;
  std::unique_ptr<SrtpContext> receive;
};

Pair makePair(SrtpSuite suite) {
  const std::vector<uint8_t> key = newMasterKey(suite);
  return {SrtpContext::create(suite, key, SrtpContext::Direction::Send),
          SrtpContext::create(suite, key, SrtpContext::Direction::Receive)};
}

// Protects a copy of `plain`; the result is what goes on the wire.
std::vector<uint8_t> sealRtp(SrtpContext& send, std::vector<uint8_t> plain) {
  size_t length = plain.size();
  plain.resize(length + kSrtpMaxGrowth);
  EXPECT_TRUE(send.protectRtp(plain.data(), length, plain.size()));
  plain.resize(length);
  return plain;
}

bool openRtp(SrtpContext& receive, std::vector<uint8_t> wire,
             std::vector<uint8_t>* plain = nullptr) {
  size_t length = wire.size();
  if (!receive.unprotectRtp(wire.data(), length)) return false;
  wire.resize(length);
  if (plain != nullptr) *plain = wire;
  return true;
}

class SrtpSuiteTest : public ::testing::TestWithParam<SrtpSuite> {};

TEST_P(SrtpSuiteTest, RtpAndRtcpComeThroughEncryptedAndAuthenticated) {
  Pair pair = makePair(GetParam());
  ASSERT_TRUE(pair.send && pair.receive);
  const size_t tag = GetParam() == SrtpSuite::AesCm128HmacSha1_32 ? 4
                     : GetParam() == SrtpSuite::AeadAes128Gcm     ? 16
                                                                  : 10;
  for (uint16_t sequence = 100; sequence < 110; ++sequence) {
    const std::vector<uint8_t> plain = rtpPacket(sequence);
    const std::vector<uint8_t> wire = sealRtp(*pair.send, plain);
    EXPECT_EQ(wire.size(), plain.size() + tag);
    // The header stays readable, the payload does not.
    EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + kRtpHeaderSize, wire.begin()));
    EXPECT_FALSE(
        std::equal(plain.begin() + kRtpHeaderSize, plain.end(), wire.begin() + kRtpHeaderSize));
    std::vector<uint8_t> opened;
    ASSERT_TRUE(openRtp(*pair.receive, wire, &opened));
    EXPECT_EQ(opened, plain);
  }

  RtcpCompound compound;
  RtcpReport report;
  report.ssrc = 0x11223344;
  compound.reports.push_back(report);
  std::vector<uint8_t> rtcp = writeRtcpCompound(compound);
  const std::vector<uint8_t> plainRtcp = rtcp;
  size_t length = rtcp.size();
  rtcp.resize(length + kSrtpMaxGrowth);
  ASSERT_TRUE(pair.send->protectRtcp(rtcp.data(), length, rtcp.size()));
  rtcp.resize(length);
  EXPECT_GT(rtcp.size(), plainRtcp.size() + 4);  // index and tag
  ASSERT_TRUE(pair.receive->unprotectRtcp(rtcp.data(), length));
  rtcp.resize(length);
  EXPECT_EQ(rtcp, plainRtcp);
  // The same SRTCP index again is a replay.
  std::vector<uint8_t> again = plainRtcp;
  length = again.size();
  again.resize(length + kSrtpMaxGrowth);
  ASSERT_TRUE(pair.send->protectRtcp(again.data(), length, again.size()));
  again.resize(length);
  std::vector<uint8_t> replay = again;
  size_t replayLength = replay.size();
  EXPECT_TRUE(pair.receive->unprotectRtcp(again.data(), length));
  EXPECT_FALSE(pair.receive->unprotectRtcp(replay.data(), replayLength));
}

TEST_P(SrtpSuiteTest, WrongKeyReplayAndCutTagAreRefused) {
  const SrtpSuite suite = GetParam();
  Pair pair = makePair(suite);
  auto stranger = SrtpContext::create(suite, newMasterKey(suite), SrtpContext::Direction::Receive);
  ASSERT_TRUE(pair.send && pair.receive && stranger);

  const std::vector<uint8_t> first = sealRtp(*pair.send, rtpPacket(1));
  EXPECT_FALSE(openRtp(*stranger, first));  // another key
  std::vector<uint8_t> cut = first;
  cut.pop_back();
  EXPECT_FALSE(openRtp(*pair.receive, cut));  // a tag short by a byte
  std::vector<uint8_t> flipped = first;
  flipped[kRtpHeaderSize + 3] ^= 0x01;
  EXPECT_FALSE(openRtp(*pair.receive, flipped));  // a changed payload
  EXPECT_FALSE(openRtp(*pair.receive, std::vector<uint8_t>(first.begin(), first.begin() + 8)));
  EXPECT_TRUE(openRtp(*pair.receive, first));
  EXPECT_FALSE(openRtp(*pair.receive, first));  // the same packet again
  EXPECT_TRUE(openRtp(*pair.receive, sealRtp(*pair.send, rtpPacket(2))));
}

INSTANTIATE_TEST_SUITE_P(Suites, SrtpSuiteTest, ::testing::ValuesIn(kSrtpSuites),
                         [](const auto& info) {
                           std::string name(suiteName(info.param));
                           std::erase(name, '_');
                           return name;
                         });

TEST(SrtpContextTest, KeysOfTheWrongLengthAndWrongDirectionsAreRefused) {
  EXPECT_EQ(SrtpContext::create(SrtpSuite::AesCm128HmacSha1_80, std::vector<uint8_t>(28),
                                SrtpContext::Direction::Send),
            nullptr);
  EXPECT_EQ(newMasterKey(SrtpSuite::AeadAes128Gcm).size(), 28u);
  EXPECT_NE(newMasterKey(SrtpSuite::AesCm128HmacSha1_32),
            newMasterKey(SrtpSuite::AesCm128HmacSha1_32));
  Pair pair = makePair(SrtpSuite::AesCm128HmacSha1_80);
  std::vector<uint8_t> packet = rtpPacket(5);
  size_t length = packet.size();
  packet.resize(length + kSrtpMaxGrowth);
  EXPECT_FALSE(pair.receive->protectRtp(packet.data(), length, packet.size()));
  EXPECT_FALSE(pair.send->protectRtp(packet.data(), length, length + 4));  // no room for the tag
  EXPECT_FALSE(pair.send->unprotectRtp(packet.data(), length));
}

}  // namespace
}  // namespace quillet::media
