// SPDX-License-Identifier: Apache-2.0
// Tests of the RTP session's RTCP on loopback against a raw far end: our reports on the RTP
// port (a=rtcp-mux) or on the far end's RTCP port, the far end's reports read for the round
// trip only from the far end, and BYE when the call stops.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "media/rtcp_packet.h"
#include "media/rtcp_stats.h"
#include "media/rtp_session.h"
#include "media/rtp_session_test_util.h"
#include "platform/tick.h"

namespace quillet::media {
namespace {

using rtptest::answerFrom;
using rtptest::freePortRun;
using rtptest::loopbackSettings;
using rtptest::RawPeer;
using rtptest::rtp;

class RtcpSessionTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    session.setPrivateAddress("127.0.0.1");
    session.openPort();
    ASSERT_TRUE(session.socketOpen());
    ASSERT_TRUE(session.rtcpSocketOpen());
    session.makeOffer(MediaDirection::SendRecv);
    // Muxed, or on the RTCP port the far end names.
    const std::string extra =
        muxed() ? "a=rtcp-mux\r\n" : "a=rtcp:" + std::to_string(rtcpPeer.port()) + "\r\n";
    ASSERT_TRUE(session.takeAnswer(answerFrom(peer.port(), "0", extra)));
    EXPECT_EQ(session.rtcpMux(), muxed());
    reader = session.attachPlayback();
    session.start();
  }
  void TearDown() override {
    session.stop();
    platform::setTickOffset(0);
  }
  bool muxed() const { return GetParam(); }
  RawPeer& farRtcp() { return muxed() ? peer : rtcpPeer; }
  uint16_t sessionRtcpPort() const {
    return muxed() ? session.privatePort() : static_cast<uint16_t>(session.privatePort() + 1);
  }
  // The next RTCP compound that reaches the far end's RTCP socket (RTP passed over).
  std::optional<RtcpCompound> nextReport(int32_t timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
      const std::vector<uint8_t> bytes = farRtcp().receive(100);
      RtcpCompound compound;
      if (isRtcpDatagram(bytes.data(), bytes.size()) &&
          readRtcpCompound(bytes.data(), bytes.size(), compound)) {
        return compound;
      }
    }
    return std::nullopt;
  }

  RtpSession session{loopbackSettings(freePortRun())};
  RawPeer peer;
  RawPeer rtcpPeer;
  audio::SourceRef reader;
};

TEST_P(RtcpSessionTest, ReportsGoToTheFarEndAndOnlyItsReportsAreRead) {
  // We send three frames and the far end ten packets.
  {
    audio::SinkRef sink = session.createCaptureSink(false);
    std::vector<int32_t> frames(480, 3000 * 16);
    sink->Write(frames.data(), 480);
  }
  for (uint16_t i = 0; i < 10; ++i) {
    peer.send(rtp(0, static_cast<uint16_t>(500 + i), 160u * i, 77, std::vector<uint8_t>(160, 0x55)),
              session.privatePort());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  platform::setTickOffset(3500);  // past the first report's time

  const std::optional<RtcpCompound> report = nextReport(3000);
  ASSERT_TRUE(report.has_value());
  ASSERT_EQ(report->reports.size(), 1u);
  const RtcpReport& sr = report->reports[0];
  EXPECT_EQ(sr.ssrc, session.ssrc());
  ASSERT_TRUE(sr.sender.has_value());
  EXPECT_GE(sr.sender->packets, 3u);
  ASSERT_EQ(sr.blocks.size(), 1u);
  EXPECT_EQ(sr.blocks[0].ssrc, 77u);
  EXPECT_EQ(sr.blocks[0].cumulativeLost, 0);
  EXPECT_EQ(sr.blocks[0].highestSequence, 509u);
  ASSERT_EQ(report->cnames.size(), 1u);
  EXPECT_EQ(report->cnames[0].ssrc, session.ssrc());

  // The far end's answer to it: a receiver report about our stream, held 10 ms. From a
  // stranger it is not read; from the far end it gives the round trip.
  RtcpReportBlock aboutUs;
  aboutUs.ssrc = session.ssrc();
  aboutUs.lastSenderReport = ntpMiddle(sr.sender->ntpTime);
  aboutUs.delaySinceSenderReport = 655;
  RtcpCompound rr;
  rr.reports.push_back({77, std::nullopt, {aboutUs}});
  const std::vector<uint8_t> bytes = writeRtcpCompound(rr);
  RawPeer stranger;
  stranger.send(bytes, sessionRtcpPort());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(session.callQuality().roundTripReports, 0u);
  // Bent, it is not read either, and says so.
  std::vector<uint8_t> bent = bytes;
  bent[3] = 40;
  farRtcp().send(bent, sessionRtcpPort());
  farRtcp().send(bytes, sessionRtcpPort());
  for (int i = 0; i < 100 && session.callQuality().roundTripReports == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const CallQuality quality = session.callQuality();
  EXPECT_EQ(quality.roundTripReports, 1u);
  ASSERT_TRUE(quality.roundTripMs.has_value());
  EXPECT_LT(*quality.roundTripMs, 500u);
  EXPECT_EQ(quality.packetsReceived, 9u);  // the first is the source's probation
  EXPECT_EQ(quality.packetsLost, 0u);
  EXPECT_GE(quality.packetsSent, 3u);
  EXPECT_EQ(session.strangerPackets(), 1u);  // past the first two seconds

  // The end of the call: BYE.
  session.stop();
  std::optional<RtcpCompound> last;
  while (std::optional<RtcpCompound> next = nextReport(300)) last = next;
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->byes, std::vector<uint32_t>{session.ssrc()});
}

INSTANTIATE_TEST_SUITE_P(MuxedOrOwnPort, RtcpSessionTest, ::testing::Bool());

}  // namespace
}  // namespace quillet::media
