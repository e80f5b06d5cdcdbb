// SPDX-License-Identifier: Apache-2.0
// Tests of the RTCP figures against hand-computed values: loss and sequence tracking,
// interarrival jitter, round trips, report intervals, and the reporter that ties them to
// the reports it makes and reads.
#include "media/rtcp_stats.h"

#include <gtest/gtest.h>

#include "media/rtcp_reporter.h"

namespace quillet::media {
namespace {

RtpHeader header(uint16_t sequence, uint32_t timestamp, uint32_t ssrc = 0x1234, uint8_t type = 0) {
  RtpHeader h;
  h.sequence = sequence;
  h.timestamp = timestamp;
  h.ssrc = ssrc;
  h.payloadType = type;
  return h;
}

// Packets i = from..to-1 of a 20 ms stream starting at `first`, arriving with a steady
// transit, all but those in `lost`.
void stream(ReceiveStats& stats, uint16_t first, int from, int to, std::initializer_list<int> lost,
            uint32_t ssrc = 0x1234) {
  for (int i = from; i < to; ++i) {
    if (std::find(lost.begin(), lost.end(), i) != lost.end()) continue;
    const auto ts = static_cast<uint32_t>(160 * i);
    stats.received(header(static_cast<uint16_t>(first + i), ts, ssrc), 160, ts + 1000, true);
  }
}

TEST(ReceiveStats, LossAcrossTheSequenceWrapAndTheFractionOfEachInterval) {
  ReceiveStats stats;
  // 100 packets from 65500 (the first is the source's probation), 5 lost.
  stream(stats, 65500, 0, 100, {10, 20, 30, 40, 50});
  EXPECT_EQ(stats.expected(), 99u);
  EXPECT_EQ(stats.lost(), 5);
  RtcpReportBlock block = stats.reportBlock(0, 0);
  EXPECT_EQ(block.ssrc, 0x1234u);
  EXPECT_EQ(block.highestSequence, 65536u + 63u);
  EXPECT_EQ(block.cumulativeLost, 5);
  EXPECT_EQ(block.fractionLost, 12);  // 5 * 256 / 99
  EXPECT_EQ(block.jitter, 0u);
  EXPECT_FALSE(stats.heardSinceReport());

  stream(stats, 65500, 100, 150, {});
  block = stats.reportBlock(0, 0);
  EXPECT_EQ(block.fractionLost, 0);
  EXPECT_EQ(block.cumulativeLost, 5);
  EXPECT_EQ(block.highestSequence, 65536u + 113u);

  CallQuality quality;
  stats.fill(quality);
  EXPECT_EQ(quality.packetsReceived, 144u);
  EXPECT_EQ(quality.packetsExpected, 149u);
  EXPECT_EQ(quality.packetsLost, 5u);
  EXPECT_EQ(quality.octetsReceived, 144u * 160u);

  // Duplicates make up for nothing in the call's figures; the report block goes negative.
  stream(stats, 65500, 100, 150, {});
  EXPECT_EQ(stats.reportBlock(0, 0).cumulativeLost, 5 - 50);
  stats.fill(quality);
  EXPECT_EQ(quality.packetsLost, 0u);
}

TEST(ReceiveStats, NewSourcesAndRestartsKeepTheCallsFigures) {
  ReceiveStats stats;
  stream(stats, 1000, 0, 10, {});
  // A lone packet far ahead is not counted; one that the next follows restarts the count.
  stats.received(header(30000, 0), 160, 0, true);
  stream(stats, 1000, 10, 12, {});
  EXPECT_EQ(stats.expected(), 11u);
  EXPECT_EQ(stats.lost(), 0);
  stats.received(header(9000, 0), 160, 0, true);
  stats.received(header(9001, 160), 160, 160, true);
  EXPECT_EQ(stats.expected(), 1u);
  // Another SSRC: a new source, with a packet of it lost.
  stream(stats, 500, 0, 21, {7}, 0x9999);
  EXPECT_EQ(stats.ssrc(), 0x9999u);
  CallQuality quality;
  stats.fill(quality);
  EXPECT_EQ(quality.packetsExpected, 11u + 1u + 20u);
  EXPECT_EQ(quality.packetsReceived, 11u + 1u + 19u);
  EXPECT_EQ(quality.packetsLost, 1u);
}

TEST(ReceiveStats, JitterFollowsRfc3550AndLeavesTelephoneEventsOut) {
  ReceiveStats stats;
  // Every other packet 10 ms (80 units) late: each transit differs from the last by 80.
  auto packet = [&](int i) {
    const auto ts = static_cast<uint32_t>(160 * i);
    stats.received(header(static_cast<uint16_t>(i), ts), 160, ts + (i % 2 == 1 ? 80 : 0), true);
  };
  packet(0);
  EXPECT_EQ(stats.jitter(), 0u);
  packet(1);
  EXPECT_EQ(stats.jitter(), 5u);  // 80 / 16
  packet(2);
  EXPECT_EQ(stats.jitter(), 9u);  // (80 + 80 - 5) / 16, as the integer form keeps it
  packet(3);
  EXPECT_EQ(stats.jitter(), 14u);
  for (int i = 4; i < 300; ++i) packet(i);
  EXPECT_GE(stats.jitter(), 78u);  // towards 80
  EXPECT_LE(stats.jitter(), 80u);
  CallQuality quality;
  stats.fill(quality);
  EXPECT_EQ(quality.jitterMs, 10u);

  // Telephone events hold their timestamp while the tone goes on: left out, no jitter.
  ReceiveStats events;
  for (int i = 0; i < 50; ++i) {
    events.received(header(static_cast<uint16_t>(i), 0, 0x1234, 101), 4,
                    static_cast<uint32_t>(160 * i), false);
  }
  EXPECT_EQ(events.jitter(), 0u);
  EXPECT_EQ(events.expected(), 49u);
}

TEST(RtcpRoundTrip, ArrivalLessLastReportLessDelay) {
  RtcpReportBlock block;
  block.lastSenderReport = 0x12340000;
  block.delaySinceSenderReport = 0x8000;                             // 0.5 s
  EXPECT_EQ(roundTripMs(block, 0x12340000 + 0x8000 + 0x1000), 63u);  // 62.5 ms
  EXPECT_EQ(roundTripMs(block, 0x12340000 + 0x8000 - 100), 0u);      // clock rounding
  EXPECT_EQ(roundTripMs(block, 0x12340000 + 0x8000 - 0x1000), std::nullopt);
  EXPECT_EQ(roundTripMs(block, 0x12340000 + 0x8000 + (61 << 16)), std::nullopt);
  block.lastSenderReport = 0;  // no SR of ours to refer to
  EXPECT_EQ(roundTripMs(block, 0x8000), std::nullopt);
  // NTP time: 1900-based seconds (after 2020), the fraction in the low word.
  EXPECT_GT(ntpNow() >> 32, 3786825600ull);
}

TEST(RtcpInterval, FiveSecondsForACallHalfBeforeTheFirstAndMoreForMany) {
  // Two members at 400 bytes/s of RTCP: far under the minimum, which holds.
  EXPECT_DOUBLE_EQ(rtcpIntervalSeconds(2, 2, 400, true, 100, false), 5.0);
  EXPECT_DOUBLE_EQ(rtcpIntervalSeconds(2, 1, 400, false, 100, true), 2.5);
  // 100 members, one sender, we are not it: 99 receivers share three quarters.
  EXPECT_DOUBLE_EQ(rtcpIntervalSeconds(100, 1, 400, false, 100, false), 33.0);
  // ... and the one sender has a quarter to itself.
  EXPECT_DOUBLE_EQ(rtcpIntervalSeconds(100, 1, 400, true, 1000, false), 10.0);
  // 0.5 to 1.5 times, over e - 3/2.
  EXPECT_EQ(randomisedIntervalMs(5.0, 0.0), 2052u);
  EXPECT_EQ(randomisedIntervalMs(5.0, 0.5), 4104u);
  EXPECT_EQ(randomisedIntervalMs(5.0, 0.99999), 6156u);
}

TEST(CallQualityLine, ReadsAsTheLogGivesIt) {
  CallQuality quality;
  quality.packetsSent = 512;
  quality.packetsReceived = 94;
  quality.packetsExpected = 99;
  quality.packetsLost = 5;
  quality.jitterMs = 3;
  EXPECT_EQ(quality.logLine(),
            "Call quality: sent 512 packets, received 94, lost 5 (5.1 %), jitter 3 ms, round trip "
            "unknown (no report came back)");
  quality.roundTripMs = 41;
  EXPECT_EQ(quality.logLine(),
            "Call quality: sent 512 packets, received 94, lost 5 (5.1 %), jitter 3 ms, round trip "
            "41 ms");
}

TEST(RtcpReporter, ReportsAsSenderOrReceiverWithTheFarEndsTimesAndItsRoundTrip) {
  constexpr uint32_t kOwn = 0xAAAA;
  constexpr uint32_t kFar = 0x1234;
  RtcpReporter reporter;
  reporter.begin(1000, 0.0);
  EXPECT_EQ(reporter.msUntilDue(1000), 1026u);  // 2.5 s × 0.5 / 1.21828
  EXPECT_EQ(reporter.msUntilDue(3000), 0u);

  // Sending: an SR with our counts, our CNAME, no block yet.
  for (int i = 0; i < 3; ++i) reporter.sent(160);
  const uint64_t ourNtp = 0xE000000012340000ull;
  RtcpCompound ours = reporter.makeReport(kOwn, 8000, ourNtp, 3000, 0.5, false);
  ASSERT_EQ(ours.reports.size(), 1u);
  ASSERT_TRUE(ours.reports[0].sender.has_value());
  EXPECT_EQ(ours.reports[0].sender->packets, 3u);
  EXPECT_EQ(ours.reports[0].sender->octets, 480u);
  EXPECT_EQ(ours.reports[0].sender->rtpTimestamp, 8000u);
  EXPECT_TRUE(ours.reports[0].blocks.empty());
  EXPECT_EQ(ours.cnames[0].name, reporter.cname());
  EXPECT_TRUE(ours.byes.empty());
  EXPECT_EQ(reporter.msUntilDue(3000), 4104u);

  // The far end's stream and its SR; our echo is ignored.
  for (int i = 0; i < 11; ++i) {
    reporter.received(header(static_cast<uint16_t>(i), static_cast<uint32_t>(160 * i), kFar), 160,
                      static_cast<uint32_t>(160 * i), true);
  }
  RtcpCompound farSr;
  farSr.reports.push_back({kFar, RtcpSenderInfo{0xE0000000ABCD8000ull, 0, 11, 1760}, {}});
  EXPECT_FALSE(reporter.took(farSr, 52, kOwn, 0, 4000));
  EXPECT_FALSE(reporter.took(ours, 52, kOwn, 0, 4000));

  // 250 ms later: a block about the far end with its SR's time and the delay since.
  ours = reporter.makeReport(kOwn, 16000, ourNtp + (1ull << 32), 4250, 0.5, false);
  ASSERT_EQ(ours.reports[0].blocks.size(), 1u);
  const RtcpReportBlock& block = ours.reports[0].blocks[0];
  EXPECT_EQ(block.ssrc, kFar);
  EXPECT_EQ(block.lastSenderReport, 0x0000ABCDu);
  EXPECT_EQ(block.delaySinceSenderReport, 16384u);  // 0.25 × 65536
  EXPECT_EQ(block.highestSequence, 10u);

  // The far end's RR about our first SR: 62.5 ms round trip; its BYE is told.
  RtcpCompound farRr;
  RtcpReportBlock aboutUs;
  aboutUs.ssrc = kOwn;
  aboutUs.lastSenderReport = ntpMiddle(ourNtp);
  aboutUs.delaySinceSenderReport = 0x8000;
  farRr.reports.push_back({kFar, std::nullopt, {aboutUs}});
  farRr.byes.push_back(kFar);
  EXPECT_TRUE(reporter.took(farRr, 40, kOwn, ourNtp + (0x9000ull << 16), 5000));

  // Nothing sent for two intervals: an RR; with BYE at the end.
  reporter.makeReport(kOwn, 0, ourNtp, 9000, 0.5, false);
  ours = reporter.makeReport(kOwn, 0, ourNtp, 14000, 0.5, true);
  EXPECT_FALSE(ours.reports[0].sender.has_value());
  EXPECT_EQ(ours.byes, std::vector<uint32_t>{kOwn});

  const CallQuality quality = reporter.quality();
  EXPECT_EQ(quality.packetsSent, 3u);
  EXPECT_EQ(quality.packetsReceived, 10u);
  EXPECT_EQ(quality.packetsLost, 0u);
  EXPECT_EQ(quality.roundTripMs, 63u);
  EXPECT_EQ(quality.roundTripReports, 1u);
}

}  // namespace
}  // namespace quillet::media
