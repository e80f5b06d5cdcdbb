// SPDX-License-Identifier: Apache-2.0
// Tests of RTCP compound packets: what the writer puts on the wire, reading it back, and
// the reader against cut, bent and foreign input.
#include "media/rtcp_packet.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <vector>

namespace quillet::media {
namespace {

RtcpCompound sampleCompound() {
  RtcpCompound compound;
  RtcpReport report;
  report.ssrc = htonl(0x11223344);
  report.sender = RtcpSenderInfo{0xE8A1B2C3D4E5F607ull, 160000, 250, 40000};
  report.blocks.push_back({htonl(0xCAFEBABE), 12, 5, 65636, 80, 0xB2C3D4E5, 0x8000});
  report.blocks.push_back({htonl(0x0BADF00D), 0, -3, 7, 0, 0, 0});
  compound.reports.push_back(report);
  compound.cnames.push_back({report.ssrc, "4f2a@quillet"});
  compound.byes.push_back(report.ssrc);
  return compound;
}

TEST(RtcpPacket, CompoundIsWrittenAsTheWireFormatAndReadBack) {
  const RtcpCompound compound = sampleCompound();
  const std::vector<uint8_t> bytes = writeRtcpCompound(compound);
  // SR: header, SSRC, sender info and two blocks; SDES: header, SSRC, CNAME item (2 + 12
  // bytes), end item and padding to 20; BYE: header and SSRC.
  ASSERT_EQ(bytes.size(), 76u + 24u + 8u);
  const std::vector<uint8_t> head = {0x82, 200,  0,    18,   0x11, 0x22, 0x33, 0x44,
                                     0xE8, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07};
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 16), head);
  // The first block's loss word: fraction 12, cumulative 5; the second's: -3 in 24 bits.
  EXPECT_EQ(bytes[28], 0xCA);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 32, bytes.begin() + 36),
            (std::vector<uint8_t>{12, 0, 0, 5}));
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 56, bytes.begin() + 60),
            (std::vector<uint8_t>{0, 0xFF, 0xFF, 0xFD}));
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 76, bytes.begin() + 80),
            (std::vector<uint8_t>{0x81, 202, 0, 5}));
  EXPECT_EQ(bytes[84], 1);   // CNAME
  EXPECT_EQ(bytes[85], 12);  // its length
  EXPECT_EQ(bytes[98], 0);   // the end item
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 100, bytes.begin() + 104),
            (std::vector<uint8_t>{0x81, 203, 0, 1}));

  RtcpCompound read;
  ASSERT_TRUE(readRtcpCompound(bytes.data(), bytes.size(), read));
  EXPECT_EQ(read, compound);
}

TEST(RtcpPacket, ReceiverReportsAndNamesOfEveryLengthReadBack) {
  for (size_t length : {0u, 1u, 2u, 3u, 4u, 5u, 255u}) {
    RtcpCompound compound;
    compound.reports.push_back({htonl(7), std::nullopt, {}});
    compound.cnames.push_back({htonl(7), std::string(length, 'x')});
    const std::vector<uint8_t> bytes = writeRtcpCompound(compound);
    EXPECT_EQ(bytes[1], kRtcpReceiverReport);
    EXPECT_EQ(bytes.size() % 4, 0u);
    RtcpCompound read;
    ASSERT_TRUE(readRtcpCompound(bytes.data(), bytes.size(), read)) << length;
    EXPECT_EQ(read, compound) << length;
  }
  // Over 255 bytes a name is cut; more than 31 blocks are left out.
  RtcpCompound big;
  big.reports.push_back({1, std::nullopt, std::vector<RtcpReportBlock>(40)});
  big.cnames.push_back({1, std::string(300, 'y')});
  const std::vector<uint8_t> bytes = writeRtcpCompound(big);
  RtcpCompound read;
  ASSERT_TRUE(readRtcpCompound(bytes.data(), bytes.size(), read));
  EXPECT_EQ(read.reports[0].blocks.size(), 31u);
  EXPECT_EQ(read.cnames[0].name.size(), 255u);
  EXPECT_TRUE(writeRtcpCompound(RtcpCompound{}).empty());
}

TEST(RtcpPacket, CutOrBentCompoundsAreRefused) {
  const std::vector<uint8_t> good = writeRtcpCompound(sampleCompound());
  RtcpCompound read;
  // Cut anywhere but at the end of a packet (76: after the SR, 100: after the SDES).
  for (size_t length = 0; length < good.size(); ++length) {
    const bool boundary = length == 76 || length == 100;
    EXPECT_EQ(readRtcpCompound(good.data(), length, read), boundary) << length;
  }
  auto bent = [&](size_t at, uint8_t value) {
    std::vector<uint8_t> bytes = good;
    bytes[at] = value;
    RtcpCompound out;
    return readRtcpCompound(bytes.data(), bytes.size(), out);
  };
  EXPECT_FALSE(bent(0, 0x42));    // version 1
  EXPECT_FALSE(bent(0, 0xA2));    // the first packet padded
  EXPECT_FALSE(bent(1, 202));     // SDES first
  EXPECT_FALSE(bent(0, 0x84));    // four blocks claimed, two there
  EXPECT_FALSE(bent(3, 19));      // the SR longer than it is
  EXPECT_FALSE(bent(3, 17));      // ... and shorter than its blocks
  EXPECT_FALSE(bent(85, 200));    // a CNAME past the packet's end
  EXPECT_FALSE(bent(98, 1));      // no end item in the chunk
  EXPECT_FALSE(bent(76, 0xA1));   // padding in a packet that is not the last
  EXPECT_FALSE(bent(100, 0x9F));  // BYE naming 31 sources in one word
  EXPECT_FALSE(readRtcpCompound(nullptr, 8, read));
}

TEST(RtcpPacket, ForeignPacketsAreSkippedAndPaddingAtTheEndIsTaken) {
  std::vector<uint8_t> bytes = writeRtcpCompound(sampleCompound());
  // An APP packet and a padded BYE with a reason after the compound's packets.
  const std::vector<uint8_t> app = {0x80, 204, 0, 2, 1, 2, 3, 4, 'n', 'a', 'm', 'e'};
  const std::vector<uint8_t> bye = {0xA1, 203, 0, 3, 0, 0, 0, 9, 2, 'o', 'k', 0, 0, 0, 0, 4};
  bytes.insert(bytes.end(), app.begin(), app.end());
  bytes.insert(bytes.end(), bye.begin(), bye.end());
  RtcpCompound read;
  ASSERT_TRUE(readRtcpCompound(bytes.data(), bytes.size(), read));
  EXPECT_EQ(read.byes.size(), 2u);
  EXPECT_EQ(read.byes[1], htonl(9));
  bytes.back() = 0;  // a padding count of none
  EXPECT_FALSE(readRtcpCompound(bytes.data(), bytes.size(), read));
  bytes.back() = 13;  // more padding than the packet's body
  EXPECT_FALSE(readRtcpCompound(bytes.data(), bytes.size(), read));
}

TEST(RtcpPacket, RtcpIsToldFromRtpOnASharedPort) {
  const std::vector<uint8_t> good = writeRtcpCompound(sampleCompound());
  EXPECT_TRUE(isRtcpDatagram(good.data(), good.size()));
  std::vector<uint8_t> packet(20, 0);
  packet[0] = 0x80;
  for (int type : {0, 8, 13, 96, 101, 127, 0x80 | 0, 0x80 | 101}) {
    packet[1] = static_cast<uint8_t>(type);
    EXPECT_FALSE(isRtcpDatagram(packet.data(), packet.size())) << type;
  }
  packet[1] = 0x80 | 72;  // payload type 72 with the marker bit reads as 200
  EXPECT_TRUE(isRtcpDatagram(packet.data(), packet.size()));
  EXPECT_FALSE(isRtcpDatagram(packet.data(), 4));
  packet[0] = 0x40;
  EXPECT_FALSE(isRtcpDatagram(packet.data(), packet.size()));
}

TEST(RtcpPacket, TraceLineSaysWhatEachPacketCarries) {
  EXPECT_EQ(rtcpTraceLine(12345, ">>>", "127.0.0.1:9001", sampleCompound()),
            "2345ms Rtcp >>> 127.0.0.1:9001 SR ssrc=287454020 packets=250 octets=40000 "
            "[about=-889275714 fraction=12 lost=5 jitter=80] [about=195948557 fraction=0 lost=-3 "
            "jitter=0] CNAME ssrc=287454020 BYE ssrc=287454020\r\n");
}

}  // namespace
}  // namespace quillet::media
