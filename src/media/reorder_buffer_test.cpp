// SPDX-License-Identifier: Apache-2.0
// Tests of RTP datagram reading and of the reorder buffer's sender lock and head choice.
#include "media/reorder_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace quillet::media {
namespace {

std::vector<uint8_t> datagram(uint16_t seq, uint32_t ts, uint32_t ssrc, size_t payload = 160) {
  std::vector<uint8_t> bytes(kRtpHeaderSize + payload, 0xFF);
  writeRtpHeader(bytes.data(), false, 0, seq, ts, ssrc);
  return bytes;
}

bool put(ReorderBuffer& buffer, const std::vector<uint8_t>& bytes, uint32_t now) {
  RtpSlot* slot = buffer.freeSlot();
  if (slot == nullptr) return false;
  std::memcpy(slot->data.data(), bytes.data(), bytes.size());
  return buffer.store(*slot, bytes.size(), now);
}

TEST(RtpPacket, RejectsShortAndWrongVersion) {
  RtpPacketView view;
  auto bytes = datagram(1, 2, 3);
  EXPECT_FALSE(readRtpPacket(bytes.data(), 11, view));
  bytes[0] = 0x40;
  EXPECT_FALSE(readRtpPacket(bytes.data(), bytes.size(), view));
  bytes[0] = 0x80;
  ASSERT_TRUE(readRtpPacket(bytes.data(), 12, view));
  EXPECT_EQ(view.payloadLength, 0u);
}

TEST(RtpPacket, PayloadSkipsCsrcExtensionAndPadding) {
  RtpPacketView view;
  auto bytes = datagram(0x1234, 0xA0B0C0D0, 7, 40);
  bytes[0] = 0x82;  // two CSRCs
  bytes[1] = 0x80 | 3;
  ASSERT_TRUE(readRtpPacket(bytes.data(), bytes.size(), view));
  EXPECT_EQ(view.payloadOffset, 20u);
  EXPECT_EQ(view.payloadLength, 32u);
  EXPECT_TRUE(view.header.marker);
  EXPECT_EQ(view.header.payloadType, 3);
  EXPECT_EQ(view.header.sequence, 0x1234);
  EXPECT_EQ(view.header.timestamp, 0xA0B0C0D0u);

  bytes[0] = 0x80 | 0x10 | 0x20;  // extension of 1 word, padding of 4
  bytes[12] = 0xBE;
  bytes[13] = 0xDE;
  bytes[14] = 0;
  bytes[15] = 1;
  bytes.back() = 4;
  ASSERT_TRUE(readRtpPacket(bytes.data(), bytes.size(), view));
  EXPECT_EQ(view.payloadOffset, 20u);
  EXPECT_EQ(view.payloadLength, 28u);

  // Lengths that claim more than is there end at the datagram's end.
  bytes[15] = 200;
  ASSERT_TRUE(readRtpPacket(bytes.data(), bytes.size(), view));
  EXPECT_EQ(view.payloadOffset + view.payloadLength, bytes.size());
  EXPECT_EQ(view.payloadLength, 0u);
  bytes[0] = 0x80 | 0x0F | 0x20;
  bytes.resize(14);
  bytes.back() = 0xFF;
  ASSERT_TRUE(readRtpPacket(bytes.data(), bytes.size(), view));
  EXPECT_LE(view.payloadOffset + view.payloadLength, bytes.size());
}

TEST(RtpPacket, TraceLineShowsFieldsInNetworkOrder) {
  auto bytes = datagram(5, 0xFFFFFFFF, 0, 160);
  bytes[1] |= 0x80;
  bytes[8] = 0;
  bytes[9] = 0;
  bytes[10] = 1;
  bytes[11] = 2;
  EXPECT_EQ(rtpTraceLine(123456, ">>>", "10.0.0.1:8000", bytes.data(), bytes.size()),
            "3456ms Rtp >>> 10.0.0.1:8000 Mark 0 seq=5 ts=-1 ssrc=258 160 bytes\r\n");
  bytes[1] &= 0x7F;
  EXPECT_EQ(rtpTraceLine(7, "<<<", "h", bytes.data(), 12),
            "7ms Rtp <<< h      0 seq=5 ts=-1 ssrc=258 0 bytes\r\n");
}

// Out-of-order packets across the wrap of the sequence numbers play in sequence; a copy
// of a packet played and a packet just behind are freed at once, one far behind counts as
// ahead, and a full buffer has no free slot.
TEST(ReorderBuffer, PlaysInSequenceAcrossTheWrapAndFreesWhatIsBehind) {
  ReorderBuffer buffer(0);
  auto bad = datagram(1, 0, 9);
  bad[0] = 0x40;
  EXPECT_FALSE(put(buffer, bad, 0));
  EXPECT_FALSE(buffer.started());
  ASSERT_TRUE(put(buffer, datagram(65534, 0, 9), 0));
  ASSERT_TRUE(put(buffer, datagram(0, 320, 9), 0));
  ASSERT_EQ(buffer.head()->packet.header.sequence, 65534);
  buffer.popHead();
  EXPECT_EQ(buffer.expectedSequence(), 65535);
  EXPECT_EQ(buffer.head()->packet.header.sequence, 0);  // a gap before the head
  ASSERT_TRUE(put(buffer, datagram(65535, 160, 9), 0));
  EXPECT_EQ(buffer.head()->packet.header.sequence, 65535);
  buffer.popHead();
  EXPECT_EQ(buffer.head()->packet.header.sequence, 0);
  buffer.popHead();
  ASSERT_TRUE(put(buffer, datagram(0, 320, 9), 0));  // a copy: freed
  EXPECT_EQ(buffer.head(), nullptr);
  EXPECT_EQ(buffer.inUseCount(), 0);

  ASSERT_TRUE(put(buffer, datagram(2, 0, 9), 0));      // expected 1
  ASSERT_TRUE(put(buffer, datagram(65437, 0, 9), 0));  // 100 behind: freed
  EXPECT_EQ(buffer.inUseCount(), 1);
  EXPECT_EQ(buffer.head()->packet.header.sequence, 2);
  buffer.popHead();                                    // expected 3
  ASSERT_TRUE(put(buffer, datagram(65236, 0, 9), 0));  // 303 behind: far ahead
  ASSERT_NE(buffer.head(), nullptr);
  EXPECT_EQ(buffer.head()->packet.header.sequence, 65236);
  ASSERT_TRUE(put(buffer, datagram(5, 0, 9), 0));
  EXPECT_EQ(buffer.head()->packet.header.sequence, 5);

  for (uint16_t seq = 6; buffer.freeSlot() != nullptr; ++seq) {
    ASSERT_TRUE(put(buffer, datagram(seq, 0, 9), 0));
  }
  EXPECT_EQ(buffer.inUseCount(), ReorderBuffer::kSlots);
  buffer.popHead();
  EXPECT_NE(buffer.freeSlot(), nullptr);
}

TEST(ReorderBuffer, SecondSenderTakesOverOnlyWithinFiveSeconds) {
  ReorderBuffer buffer(10000);
  ASSERT_TRUE(put(buffer, datagram(100, 0, 1), 10000));
  EXPECT_TRUE(put(buffer, datagram(5000, 0, 2), 13000));
  EXPECT_EQ(buffer.lockedSsrc(), 2u);
  EXPECT_EQ(buffer.expectedSequence(), 5000);
  EXPECT_EQ(buffer.head()->packet.header.sequence, 5000);
  ASSERT_TRUE(put(buffer, datagram(5001, 160, 2), 15990));
  EXPECT_FALSE(put(buffer, datagram(200, 0, 3), 16000));
  EXPECT_EQ(buffer.lockedSsrc(), 2u);  // a re-negotiation reopens it: the session's test
}

std::vector<uint8_t> marked(uint16_t seq, uint32_t ssrc) {
  auto bytes = datagram(seq, 0, ssrc);
  bytes[1] |= 0x80;
  return bytes;
}

TEST(ReorderBuffer, LaterSenderTakesOverOnlyOnceTheLockedOneWentQuiet) {
  ReorderBuffer buffer(0);
  uint32_t now = 10000;
  // Sender 1 holds a gap (seq 3 missing) when a second sender interleaves: refused.
  for (uint16_t seq : {1, 2, 4, 5}) {
    ASSERT_TRUE(put(buffer, datagram(seq, 160u * seq, 1), now));
    EXPECT_FALSE(put(buffer, marked(900, 2), now + 10));
    now += 20;
  }
  EXPECT_EQ(buffer.lockedSsrc(), 1u);
  EXPECT_EQ(buffer.inUseCount(), 4);
  // Sender 1 stops: after 100 ms only a marked packet takes over, after 200 ms any.
  now += 80;
  EXPECT_FALSE(put(buffer, datagram(901, 0, 2), now));
  EXPECT_TRUE(put(buffer, marked(902, 2), now));
  EXPECT_EQ(buffer.lockedSsrc(), 2u);
  // The old sender's packets are gone and the new one plays from its own sequence.
  EXPECT_EQ(buffer.inUseCount(), 1);
  EXPECT_EQ(buffer.expectedSequence(), 902);
  EXPECT_EQ(buffer.head()->packet.header.sequence, 902);
  EXPECT_FALSE(put(buffer, datagram(6, 960, 1), now + 199));
  EXPECT_TRUE(put(buffer, datagram(7, 1120, 1), now + 200));
  EXPECT_EQ(buffer.lockedSsrc(), 1u);
  EXPECT_EQ(buffer.expectedSequence(), 7);
}

}  // namespace
}  // namespace quillet::media
