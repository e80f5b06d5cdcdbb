// SPDX-License-Identifier: Apache-2.0
// RTCP compound packets (RFC 3550 section 6): sender and receiver reports with their report
// blocks, SDES CNAME and BYE, written for sending and read from received datagrams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillet::media {

constexpr uint8_t kRtcpSenderReport = 200;
constexpr uint8_t kRtcpReceiverReport = 201;
constexpr uint8_t kRtcpSourceDescription = 202;
constexpr uint8_t kRtcpBye = 203;
constexpr size_t kRtcpMaxBlocks = 31;      // report blocks one report can carry
constexpr size_t kRtcpMaxCname = 255;      // bytes of an SDES item
constexpr size_t kRtcpMaxDatagram = 1400;  // what this side writes at most

// One reception report about a source (RFC 3550 6.4.1). SSRCs here, as in RtpHeader, are
// the four bytes as they stand in memory.
struct RtcpReportBlock {
  uint32_t ssrc = 0;
  uint8_t fractionLost = 0;             // of 256
  int32_t cumulativeLost = 0;           // 24-bit signed on the wire
  uint32_t highestSequence = 0;         // extended
  uint32_t jitter = 0;                  // timestamp units
  uint32_t lastSenderReport = 0;        // middle 32 bits of the NTP time of the last SR
  uint32_t delaySinceSenderReport = 0;  // 1/65536 s

  bool operator==(const RtcpReportBlock&) const = default;
};

struct RtcpSenderInfo {
  uint64_t ntpTime = 0;  // seconds since 1900 in the high word, fraction in the low
  uint32_t rtpTimestamp = 0;
  uint32_t packets = 0;
  uint32_t octets = 0;

  bool operator==(const RtcpSenderInfo&) const = default;
};

// A sender report (with sender info) or a receiver report (without).
struct RtcpReport {
  uint32_t ssrc = 0;
  std::optional<RtcpSenderInfo> sender;
  std::vector<RtcpReportBlock> blocks;

  bool operator==(const RtcpReport&) const = default;
};

struct RtcpCname {
  uint32_t ssrc = 0;
  std::string name;

  bool operator==(const RtcpCname&) const = default;
};

// What one compound packet carries, in order per kind. Other packet types (APP, feedback,
// extended reports) are skipped when read.
struct RtcpCompound {
  std::vector<RtcpReport> reports;
  std::vector<RtcpCname> cnames;
  std::vector<uint32_t> byes;

  bool operator==(const RtcpCompound&) const = default;
};

// Writes the compound: reports first, then one SDES packet with the CNAMEs, then one BYE.
// Blocks beyond 31 a report, names beyond 255 bytes and an empty compound are left out of
// what is written; an empty result means there was nothing (or no report) to write.
std::vector<uint8_t> writeRtcpCompound(const RtcpCompound& compound);

// Reads a received compound as RFC 3550 A.2 checks it: version 2 throughout, the first packet
// a report without padding, only the last one padded, lengths that add up to the datagram.
// False, with `out` left in any state, for anything else; never reads past `length`.
bool readRtcpCompound(const uint8_t* data, size_t length, RtcpCompound& out);

// Whether a datagram on a port that RTP and RTCP share is RTCP (RFC 5761 section 4): its
// second byte is a packet type from 192 to 223, which no RTP payload type can stand for
// there (64 to 95 with or without the marker bit).
bool isRtcpDatagram(const uint8_t* data, size_t length);

// The RTCP trace line of a sent (">>>") or received ("<<<") compound: what each packet says
// in brief. SSRCs print as signed decimals of their network-order value, as the RTP lines do.
std::string rtcpTraceLine(uint32_t tickMs, const char* direction, const std::string& peer,
                          const RtcpCompound& compound);

}  // namespace quillet::media
