// SPDX-License-Identifier: Apache-2.0
// Group paging packets written and read back, damaged packets refused, paging targets.
#include "media/paging_packet.h"

#include <gtest/gtest.h>

#include "platform/socket.h"

namespace quillet::media {
namespace {

GroupPagePacket transmit(bool withRedundancy) {
  GroupPagePacket packet;
  packet.op = GroupPageOp::Transmit;
  packet.channel = 24;
  packet.serial = 0x0A0B0C0D;
  packet.callerId = "Front desk";
  packet.codec = kGroupCodecPcma;
  packet.sampleCount = 0x01020304;
  packet.audio.assign(kGroupFrameBytes, 0x55);
  if (withRedundancy) packet.redundant.assign(kGroupFrameBytes, 0xD5);
  return packet;
}

TEST(GroupPagePacket, WritesTheFieldsInOrderAndReadsThemBack) {
  GroupPagePacket alert;
  alert.op = GroupPageOp::Alert;
  alert.channel = 25;
  alert.serial = 0x11223344;
  alert.callerId = "Caller id longer than thirteen";
  const std::vector<uint8_t> bytes = writeGroupPagePacket(alert);
  ASSERT_EQ(bytes.size(), 20u);
  EXPECT_EQ(bytes[0], 0x0F);
  EXPECT_EQ(bytes[1], 25);
  EXPECT_EQ(bytes[2], 0x11);
  EXPECT_EQ(bytes[5], 0x44);
  EXPECT_EQ(bytes[6], 13);
  EXPECT_EQ(std::string(bytes.begin() + 7, bytes.end()), "Caller id lon");
  GroupPagePacket read;
  ASSERT_TRUE(readGroupPagePacket(bytes.data(), bytes.size(), read));
  EXPECT_EQ(read.callerId, "Caller id lon");
  EXPECT_EQ(read.serial, 0x11223344u);

  for (bool redundancy : {false, true}) {
    const GroupPagePacket sent = transmit(redundancy);
    const std::vector<uint8_t> datagram = writeGroupPagePacket(sent);
    EXPECT_EQ(datagram.size(), 26 + kGroupFrameBytes * (redundancy ? 2 : 1));
    EXPECT_EQ(datagram[20], kGroupCodecPcma);
    EXPECT_EQ(datagram[22], 0x01);  // the sample count, most significant byte first
    ASSERT_TRUE(readGroupPagePacket(datagram.data(), datagram.size(), read));
    EXPECT_EQ(read, sent);
  }
  GroupPagePacket end = alert;
  end.op = GroupPageOp::End;
  const std::vector<uint8_t> endBytes = writeGroupPagePacket(end);
  ASSERT_TRUE(readGroupPagePacket(endBytes.data(), endBytes.size(), read));
  EXPECT_EQ(read.op, GroupPageOp::End);
}

TEST(GroupPagePacket, RefusesDamagedPackets) {
  const std::vector<uint8_t> good = writeGroupPagePacket(transmit(true));
  GroupPagePacket read;
  for (size_t cut = 0; cut < good.size(); ++cut) {
    // Every shorter datagram is refused but one that ends after the first frame.
    EXPECT_EQ(readGroupPagePacket(good.data(), cut, read), cut == 26 + kGroupFrameBytes) << cut;
  }
  auto changed = [&](size_t at, uint8_t value) {
    std::vector<uint8_t> bytes = good;
    bytes[at] = value;
    return readGroupPagePacket(bytes.data(), bytes.size(), read);
  };
  EXPECT_FALSE(changed(0, 0x11));  // op code
  EXPECT_FALSE(changed(1, 0));     // channel
  EXPECT_FALSE(changed(1, 26));
  EXPECT_FALSE(changed(6, 200));    // caller id length beyond the datagram
  EXPECT_FALSE(changed(20, 0x12));  // codec
  EXPECT_TRUE(changed(8, 0x07));    // an unprintable caller id byte reads as '?'
  EXPECT_EQ(read.callerId, "F?ont desk");
  EXPECT_FALSE(readGroupPagePacket(nullptr, 0, read));
}

TEST(PageTarget, ParsesGroupsAndChannels) {
  const std::optional<PageTarget> plain = parsePageTarget("239.1.2.3:6000");
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->grouped);
  EXPECT_EQ(plain->address, platform::ipv4(239, 1, 2, 3));
  EXPECT_EQ(plain->port, 6000);
  const std::optional<PageTarget> channel = parsePageTarget("channel:24");
  ASSERT_TRUE(channel);
  EXPECT_TRUE(channel->grouped);
  EXPECT_EQ(channel->channel, 24);
  EXPECT_EQ(channel->address, platform::ipv4(224, 0, 1, 116));
  EXPECT_EQ(channel->port, 5001);
  const std::optional<PageTarget> elsewhere = parsePageTarget("channel:1@239.0.0.9:7000");
  ASSERT_TRUE(elsewhere);
  EXPECT_EQ(elsewhere->port, 7000);
  for (const char* bad :
       {"", "10.0.0.1:5000", "239.1.2.3", "239.1.2.3:0", "239.1.2.3:70000", "channel:0",
        "channel:26", "channel:x", "channel:1@10.0.0.1:5", "239.1.2.3:5000x"}) {
    EXPECT_FALSE(parsePageTarget(bad)) << bad;
  }
}

}  // namespace
}  // namespace quillet::media
