// SPDX-License-Identifier: Apache-2.0
// The figures RTCP reports and a call's quality is told by: what was received from the far
// end's source (RFC 3550 A.1 sequence tracking, A.3 loss, A.8 interarrival jitter), the round
// trip read from the far end's reports (6.4.1), and when the next report is due (6.2, A.7).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "media/rtcp_packet.h"
#include "media/rtp_packet.h"

namespace quillet::media {

// A call's figures in both directions, as the end-of-call log line gives them.
struct CallQuality {
  uint32_t packetsSent = 0;
  uint32_t octetsSent = 0;  // payload bytes
  uint32_t packetsReceived = 0;
  uint32_t octetsReceived = 0;
  uint32_t packetsExpected = 0;
  uint32_t packetsLost = 0;  // expected but never received (duplicates do not make up for it)
  uint32_t jitterMs = 0;     // interarrival jitter of what was received
  std::optional<uint32_t> roundTripMs;  // the mean of the far end's reports; none: no report
  uint32_t roundTripReports = 0;

  // Lost as a percentage of expected (0 when nothing was expected).
  double lossPercent() const;
  // "Call quality: sent N packets, received M, lost L (x %), jitter J ms, round trip R ms"
  std::string logLine() const;
};

// What one source sent us, as its report block and the call's figures need it. Sequence
// numbers are validated as in RFC 3550 A.1: a source counts after two packets in sequence,
// and a jump of more than 3000 counts as a restart only when the next packet follows it.
class ReceiveStats {
 public:
  static constexpr uint16_t kMaxDropout = 3000;
  static constexpr uint16_t kMaxMisorder = 100;
  static constexpr uint32_t kMinSequential = 2;

  // A packet of the far end's source arrived at `arrival` (in timestamp units, 8 a ms,
  // wrapping). `forJitter` false: a packet whose timestamp does not follow the send time
  // (telephone events), left out of the jitter. A new SSRC starts a new source; what the
  // old one received and lost stays in the call's figures.
  void received(const RtpHeader& header, size_t payloadBytes, uint32_t arrival, bool forJitter);

  bool seen() const { return seen_; }
  uint32_t ssrc() const { return ssrc_; }
  // Whether a packet came since the last report block was made.
  bool heardSinceReport() const { return packetsSinceReport_ > 0; }
  // The report block about the source; it also starts the next interval's fraction lost.
  RtcpReportBlock reportBlock(uint32_t lastSenderReport, uint32_t delaySinceSenderReport);

  uint32_t extendedHighest() const { return cycles_ + maxSequence_; }
  uint32_t expected() const;
  int64_t lost() const;
  // The jitter estimate in timestamp units.
  uint32_t jitter() const { return jitter_ >> 4; }
  // The call's figures so far, sources before this one included.
  void fill(CallQuality& quality) const;

 private:
  void startSource(const RtpHeader& header);
  // Moves the figures of the sequence so far into the call's (a new source or a restart).
  void keepForCall();
  void initSequence(uint16_t sequence);
  // A.1 update_seq: false when the packet is not counted (probation, a jump).
  bool updateSequence(uint16_t sequence);

  bool seen_ = false;
  uint32_t ssrc_ = 0;
  uint16_t maxSequence_ = 0;
  uint32_t cycles_ = 0;  // wraps of the sequence, times 65536
  uint32_t baseSequence_ = 0;
  uint32_t badSequence_ = 0x10001;  // out of range: no restart pending
  uint32_t probation_ = kMinSequential;
  uint32_t received_ = 0;
  uint32_t octets_ = 0;
  uint32_t expectedPrior_ = 0;
  uint32_t receivedPrior_ = 0;
  uint32_t packetsSinceReport_ = 0;
  bool transitKnown_ = false;
  uint32_t transit_ = 0;
  uint32_t jitter_ = 0;  // times 16
  // Sources of the call before this one.
  uint32_t earlierExpected_ = 0;
  uint32_t earlierReceived_ = 0;
  uint32_t earlierLost_ = 0;
  uint32_t earlierOctets_ = 0;
};

// The monotonic clock in RTP timestamp units (8000 a second, wrapping), for arrival times.
uint32_t arrivalClock();
// A random number in [0, 1) for the report intervals.
double randomUnit();

// NTP time (seconds since 1900 . fraction) of the wall clock now.
uint64_t ntpNow();
// The middle 32 bits of an NTP time, as LSR and round trips use them (1/65536 s).
inline uint32_t ntpMiddle(uint64_t ntp) {
  return static_cast<uint32_t>(ntp >> 16);
}
// The round trip in ms from a report block that came at `arrivalMiddle` (RFC 3550 6.4.1:
// arrival - LSR - DLSR); none without an SR of ours to refer to or when the figures cannot be
// one (negative, or over a minute).
std::optional<uint32_t> roundTripMs(const RtcpReportBlock& block, uint32_t arrivalMiddle);

// The deterministic part of the RTCP interval of RFC 3550 A.7 in seconds (before the random
// factor and its compensation): the share of the session bandwidth for RTCP divided among the
// members (senders get a quarter of it), never below 5 s (2.5 s before the first report).
double rtcpIntervalSeconds(uint32_t members, uint32_t senders, double rtcpBandwidth, bool weSent,
                           double averageRtcpSize, bool initial);
// That interval randomised by `random` in [0, 1) to 0.5..1.5 times, divided by e - 3/2 as
// A.7 compensates for the timer reconsideration; in ms.
uint32_t randomisedIntervalMs(double interval, double random);

}  // namespace quillet::media
