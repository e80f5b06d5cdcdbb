// SPDX-License-Identifier: Apache-2.0
// ReceiveStats (sequence tracking, loss, jitter), the round trip from a report block, NTP
// time and the RTCP interval.
#include "media/rtcp_stats.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "platform/random.h"

namespace quillet::media {

namespace {
constexpr uint32_t kSequenceModulo = 1u << 16;
constexpr uint64_t kNtpUnixOffset = 2208988800ull;  // seconds from 1900 to 1970
constexpr double kMinInterval = 5.0;                // seconds between reports at least
constexpr double kSenderShare = 0.25;
constexpr double kCompensation = 2.71828 - 1.5;
constexpr int32_t kRoundingSlack = 655;          // 1/65536 s: 10 ms of clock rounding
constexpr int32_t kLongestRoundTrip = 60 << 16;  // a minute
}  // namespace

double CallQuality::lossPercent() const {
  return packetsExpected == 0 ? 0.0 : 100.0 * packetsLost / packetsExpected;
}

std::string CallQuality::logLine() const {
  char text[200];
  std::snprintf(text, sizeof(text),
                "Call quality: sent %u packets, received %u, lost %u (%.1f %%), jitter %u ms, "
                "round trip ",
                packetsSent, packetsReceived, packetsLost, lossPercent(), jitterMs);
  std::string line = text;
  line += roundTripMs ? std::to_string(*roundTripMs) + " ms" : "unknown (no report came back)";
  return line;
}

void ReceiveStats::received(const RtpHeader& header, size_t payloadBytes, uint32_t arrival,
                            bool forJitter) {
  if (!seen_ || header.ssrc != ssrc_) startSource(header);
  if (updateSequence(header.sequence)) {
    ++packetsSinceReport_;
    octets_ += static_cast<uint32_t>(payloadBytes);
  }
  if (!forJitter) return;
  const uint32_t transit = arrival - header.timestamp;
  if (transitKnown_) {
    const auto d = static_cast<int32_t>(transit - transit_);
    const uint32_t magnitude = d < 0 ? 0u - static_cast<uint32_t>(d) : static_cast<uint32_t>(d);
    jitter_ += magnitude - ((jitter_ + 8) >> 4);
  }
  transit_ = transit;
  transitKnown_ = true;
}

void ReceiveStats::keepForCall() {
  earlierExpected_ += expected();
  earlierReceived_ += received_;
  earlierLost_ += static_cast<uint32_t>(std::max<int64_t>(lost(), 0));
  earlierOctets_ += octets_;
  octets_ = 0;
}

void ReceiveStats::startSource(const RtpHeader& header) {
  if (seen_) keepForCall();
  seen_ = true;
  ssrc_ = header.ssrc;
  initSequence(header.sequence);
  maxSequence_ = static_cast<uint16_t>(header.sequence - 1);
  probation_ = kMinSequential;
  packetsSinceReport_ = 0;
  transitKnown_ = false;
  jitter_ = 0;
}

void ReceiveStats::initSequence(uint16_t sequence) {
  baseSequence_ = sequence;
  maxSequence_ = sequence;
  badSequence_ = kSequenceModulo + 1;
  cycles_ = 0;
  received_ = 0;
  receivedPrior_ = 0;
  expectedPrior_ = 0;
}

bool ReceiveStats::updateSequence(uint16_t sequence) {
  const auto delta = static_cast<uint16_t>(sequence - maxSequence_);
  if (probation_ > 0) {
    if (sequence == static_cast<uint16_t>(maxSequence_ + 1)) {
      --probation_;
      maxSequence_ = sequence;
      if (probation_ == 0) {
        initSequence(sequence);
        ++received_;
        return true;
      }
    } else {
      probation_ = kMinSequential - 1;
      maxSequence_ = sequence;
    }
    return false;
  }
  if (delta < kMaxDropout) {
    if (sequence < maxSequence_) cycles_ += kSequenceModulo;  // wrapped
    maxSequence_ = sequence;
  } else if (delta <= kSequenceModulo - kMaxMisorder) {
    // A big jump: a restarted sender if the next packet follows it, else a stray one.
    if (sequence != badSequence_) {
      badSequence_ = (sequence + 1u) & (kSequenceModulo - 1);
      return false;
    }
    keepForCall();
    initSequence(sequence);
  }
  // Otherwise a duplicate or a packet out of order: counted, the highest stays.
  ++received_;
  return true;
}

uint32_t ReceiveStats::expected() const {
  if (!seen_ || probation_ > 0) return 0;
  return extendedHighest() - baseSequence_ + 1;
}

int64_t ReceiveStats::lost() const {
  return static_cast<int64_t>(expected()) - received_;
}

RtcpReportBlock ReceiveStats::reportBlock(uint32_t lastSenderReport,
                                          uint32_t delaySinceSenderReport) {
  RtcpReportBlock block;
  block.ssrc = ssrc_;
  const uint32_t expectedNow = expected();
  const uint32_t expectedInterval = expectedNow - expectedPrior_;
  const uint32_t receivedInterval = received_ - receivedPrior_;
  expectedPrior_ = expectedNow;
  receivedPrior_ = received_;
  const int64_t lostInterval =
      static_cast<int64_t>(expectedInterval) - static_cast<int64_t>(receivedInterval);
  block.fractionLost =
      expectedInterval == 0 || lostInterval <= 0
          ? 0
          : static_cast<uint8_t>(std::min<int64_t>((lostInterval << 8) / expectedInterval, 255));
  block.cumulativeLost = static_cast<int32_t>(std::clamp<int64_t>(lost(), -0x800000, 0x7FFFFF));
  block.highestSequence = extendedHighest();
  block.jitter = jitter();
  block.lastSenderReport = lastSenderReport;
  block.delaySinceSenderReport = delaySinceSenderReport;
  packetsSinceReport_ = 0;
  return block;
}

void ReceiveStats::fill(CallQuality& quality) const {
  quality.packetsReceived = earlierReceived_ + received_;
  quality.octetsReceived = earlierOctets_ + octets_;
  quality.packetsExpected = earlierExpected_ + expected();
  quality.packetsLost = earlierLost_ + static_cast<uint32_t>(std::max<int64_t>(lost(), 0));
  quality.jitterMs = (jitter() + 4) / 8;
}

uint32_t arrivalClock() {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(since).count();
  return static_cast<uint32_t>(static_cast<uint64_t>(us) * 8 / 1000);
}

double randomUnit() {
  return platform::random32() / 4294967296.0;
}

uint64_t ntpNow() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
  const auto seconds = static_cast<uint64_t>(ns / 1000000000) + kNtpUnixOffset;
  const auto fraction = (static_cast<uint64_t>(ns % 1000000000) << 32) / 1000000000u;
  return seconds << 32 | fraction;
}

std::optional<uint32_t> roundTripMs(const RtcpReportBlock& block, uint32_t arrivalMiddle) {
  if (block.lastSenderReport == 0) return std::nullopt;
  const auto value =
      static_cast<int32_t>(arrivalMiddle - block.lastSenderReport - block.delaySinceSenderReport);
  if (value < -kRoundingSlack || value > kLongestRoundTrip) return std::nullopt;
  const int64_t units = std::max(value, 0);
  return static_cast<uint32_t>((units * 1000 + 32768) >> 16);
}

double rtcpIntervalSeconds(uint32_t members, uint32_t senders, double rtcpBandwidth, bool weSent,
                           double averageRtcpSize, bool initial) {
  const double least = initial ? kMinInterval / 2 : kMinInterval;
  double n = members;
  if (senders <= members * kSenderShare) {
    if (weSent) {
      rtcpBandwidth *= kSenderShare;
      n = senders;
    } else {
      rtcpBandwidth *= 1 - kSenderShare;
      n -= senders;
    }
  }
  if (rtcpBandwidth <= 0) return least;
  return std::max(averageRtcpSize * n / rtcpBandwidth, least);
}

uint32_t randomisedIntervalMs(double interval, double random) {
  const double factor = std::clamp(random, 0.0, 1.0) + 0.5;
  return static_cast<uint32_t>(interval * factor / kCompensation * 1000.0);
}

}  // namespace quillet::media
