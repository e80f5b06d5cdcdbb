// SPDX-License-Identifier: Apache-2.0
// RtcpReporter: the RTCP side of one call without its sockets. It counts what is sent,
// follows what the far end's source sends (ReceiveStats), reads the far end's reports for
// the round trip and the delay since its last sender report, decides when our next report
// is due and makes it (SR while we send, else RR; with our CNAME; BYE at the end).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "media/rtcp_packet.h"
#include "media/rtcp_stats.h"

namespace quillet::media {

class RtcpReporter {
 public:
  // The session bandwidth RTCP takes its 5 % of (RFC 3550 6.2): 64 kbit/s voice.
  static constexpr double kSessionBandwidth = 64000.0 / 8;
  static constexpr double kRtcpShare = 0.05;
  static constexpr double kUdpIpOverhead = 28;  // bytes added to each packet's size

  RtcpReporter();

  // A new call: all figures cleared, a new CNAME.
  void restart();
  // Reports start: the first one is due after the initial interval (half the minimum),
  // randomised by `random` in [0, 1).
  void begin(uint32_t nowMs, double random);

  // An RTP packet went out with this many payload bytes (any thread).
  void sent(size_t payloadBytes);
  // An RTP packet of the far end's source came (see ReceiveStats::received).
  void received(const RtpHeader& header, size_t payloadBytes, uint32_t arrival, bool forJitter);
  // A compound from the far end came at `ntp` (wall clock) and `nowMs` (tick). Reports by
  // `ownSsrc` (our own packets come back) are ignored. Answers whether it said BYE.
  bool took(const RtcpCompound& compound, size_t datagramSize, uint32_t ownSsrc, uint64_t ntp,
            uint32_t nowMs);

  // ms until the next report is due (0: now).
  uint32_t msUntilDue(uint32_t nowMs) const;
  // Our report as it goes out now: an SR (with `rtpTimestamp`, the stream's timestamp that
  // stands for `ntp`) when we sent RTP in the last two intervals, else an RR; a report block
  // about the far end's source when it sent since the last report; our CNAME; BYE when
  // `bye`. The next report is scheduled from `nowMs`, randomised by `random`.
  RtcpCompound makeReport(uint32_t ownSsrc, uint32_t rtpTimestamp, uint64_t ntp, uint32_t nowMs,
                          double random, bool bye);
  // The size of what was sent, for the average that sets the interval.
  void reportSent(size_t datagramSize);

  CallQuality quality() const;
  const std::string& cname() const { return cname_; }

 private:
  void averageIn(size_t datagramSize);
  uint32_t intervalMs(bool initial, double random) const;

  std::atomic<uint32_t> packetsSent_{0};
  std::atomic<uint32_t> octetsSent_{0};

  mutable std::mutex lock_;
  std::string cname_;
  ReceiveStats stats_;
  bool farEndHeard_ = false;  // RTP or RTCP from the far end
  uint32_t sentAtLastReport_ = 0;
  uint32_t sentAtReportBefore_ = 0;
  uint32_t nextDueMs_ = 0;
  double averageSize_ = 0;
  // The far end's last SR: the middle of its NTP time and when it came.
  uint32_t farSenderSsrc_ = 0;
  uint32_t lastSenderReport_ = 0;
  uint32_t lastSenderReportTick_ = 0;
  // Round trips read from the far end's report blocks about our stream.
  uint64_t roundTripSumMs_ = 0;
  uint32_t roundTrips_ = 0;
};

}  // namespace quillet::media
