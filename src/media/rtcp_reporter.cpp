// SPDX-License-Identifier: Apache-2.0
// RtcpReporter: counting, reading the far end's reports, scheduling and making ours.
#include "media/rtcp_reporter.h"

#include <algorithm>

#include "platform/random.h"

namespace quillet::media {

namespace {
constexpr size_t kCnameBytes = 12;  // random bytes of a call's CNAME, as hex

std::string randomCname() {
  uint8_t bytes[kCnameBytes];
  platform::randomBytes(bytes, sizeof(bytes));
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name;
  for (uint8_t b : bytes) {
    name += kHex[b >> 4];
    name += kHex[b & 15];
  }
  return name + "@quillet";
}
}  // namespace

RtcpReporter::RtcpReporter() {
  restart();
}

void RtcpReporter::restart() {
  packetsSent_ = 0;
  octetsSent_ = 0;
  std::lock_guard lock(lock_);
  cname_ = randomCname();
  stats_ = ReceiveStats{};
  farEndHeard_ = false;
  sentAtLastReport_ = sentAtReportBefore_ = 0;
  // Until a report has gone out, the size of one with a block and a CNAME stands for it.
  averageSize_ = 8 + 20 + 24 + 12 + cname_.size() + kUdpIpOverhead;
  farSenderSsrc_ = lastSenderReport_ = lastSenderReportTick_ = 0;
  roundTripSumMs_ = 0;
  roundTrips_ = 0;
}

void RtcpReporter::begin(uint32_t nowMs, double random) {
  std::lock_guard lock(lock_);
  nextDueMs_ = nowMs + intervalMs(true, random);
}

void RtcpReporter::sent(size_t payloadBytes) {
  packetsSent_.fetch_add(1, std::memory_order_relaxed);
  octetsSent_.fetch_add(static_cast<uint32_t>(payloadBytes), std::memory_order_relaxed);
}

void RtcpReporter::received(const RtpHeader& header, size_t payloadBytes, uint32_t arrival,
                            bool forJitter) {
  std::lock_guard lock(lock_);
  farEndHeard_ = true;
  stats_.received(header, payloadBytes, arrival, forJitter);
}

bool RtcpReporter::took(const RtcpCompound& compound, size_t datagramSize, uint32_t ownSsrc,
                        uint64_t ntp, uint32_t nowMs) {
  std::lock_guard lock(lock_);
  if (!compound.reports.empty() && compound.reports.front().ssrc == ownSsrc) return false;
  farEndHeard_ = true;
  averageIn(datagramSize);
  for (const RtcpReport& report : compound.reports) {
    if (report.ssrc == ownSsrc) continue;
    if (report.sender) {
      farSenderSsrc_ = report.ssrc;
      lastSenderReport_ = ntpMiddle(report.sender->ntpTime);
      lastSenderReportTick_ = nowMs;
    }
    for (const RtcpReportBlock& block : report.blocks) {
      if (block.ssrc != ownSsrc) continue;
      if (const std::optional<uint32_t> rtt = roundTripMs(block, ntpMiddle(ntp))) {
        roundTripSumMs_ += *rtt;
        ++roundTrips_;
      }
    }
  }
  return std::any_of(compound.byes.begin(), compound.byes.end(),
                     [&](uint32_t ssrc) { return ssrc != ownSsrc; });
}

uint32_t RtcpReporter::msUntilDue(uint32_t nowMs) const {
  std::lock_guard lock(lock_);
  const auto left = static_cast<int32_t>(nextDueMs_ - nowMs);
  return left > 0 ? static_cast<uint32_t>(left) : 0;
}

RtcpCompound RtcpReporter::makeReport(uint32_t ownSsrc, uint32_t rtpTimestamp, uint64_t ntp,
                                      uint32_t nowMs, double random, bool bye) {
  const uint32_t packets = packetsSent_.load(std::memory_order_relaxed);
  std::lock_guard lock(lock_);
  RtcpReport report;
  report.ssrc = ownSsrc;
  // A sender is one that sent RTP in the last two report intervals (RFC 3550 6.3.8).
  if (packets != sentAtReportBefore_) {
    report.sender =
        RtcpSenderInfo{ntp, rtpTimestamp, packets, octetsSent_.load(std::memory_order_relaxed)};
  }
  sentAtReportBefore_ = sentAtLastReport_;
  sentAtLastReport_ = packets;
  if (stats_.seen() && stats_.heardSinceReport()) {
    uint32_t lsr = 0, dlsr = 0;
    if (lastSenderReport_ != 0 && farSenderSsrc_ == stats_.ssrc()) {
      lsr = lastSenderReport_;
      dlsr = static_cast<uint32_t>((static_cast<uint64_t>(nowMs - lastSenderReportTick_) << 16) /
                                   1000);
    }
    report.blocks.push_back(stats_.reportBlock(lsr, dlsr));
  }
  RtcpCompound compound;
  compound.reports.push_back(std::move(report));
  compound.cnames.push_back({ownSsrc, cname_});
  if (bye) compound.byes.push_back(ownSsrc);
  nextDueMs_ = nowMs + intervalMs(false, random);
  return compound;
}

void RtcpReporter::reportSent(size_t datagramSize) {
  std::lock_guard lock(lock_);
  averageIn(datagramSize);
}

void RtcpReporter::averageIn(size_t datagramSize) {
  // RFC 3550 6.3.3: the average moves by a sixteenth towards each packet's size.
  averageSize_ += (static_cast<double>(datagramSize) + kUdpIpOverhead - averageSize_) / 16;
}

uint32_t RtcpReporter::intervalMs(bool initial, double random) const {
  const bool weSent = sentAtLastReport_ != sentAtReportBefore_ ||
                      packetsSent_.load(std::memory_order_relaxed) != sentAtLastReport_;
  const uint32_t members = farEndHeard_ ? 2 : 1;
  const uint32_t senders = (weSent ? 1u : 0u) + (stats_.seen() ? 1u : 0u);
  return randomisedIntervalMs(rtcpIntervalSeconds(members, senders, kSessionBandwidth * kRtcpShare,
                                                  weSent, averageSize_, initial),
                              random);
}

CallQuality RtcpReporter::quality() const {
  CallQuality quality;
  quality.packetsSent = packetsSent_.load(std::memory_order_relaxed);
  quality.octetsSent = octetsSent_.load(std::memory_order_relaxed);
  std::lock_guard lock(lock_);
  stats_.fill(quality);
  quality.roundTripReports = roundTrips_;
  if (roundTrips_ > 0) {
    quality.roundTripMs = static_cast<uint32_t>((roundTripSumMs_ + roundTrips_ / 2) / roundTrips_);
  }
  return quality;
}

}  // namespace quillet::media
