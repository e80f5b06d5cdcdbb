// SPDX-License-Identifier: Apache-2.0
// RTP fixed header (RFC 3550) reading and writing, and the text of an RTP trace line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillet::media {

constexpr size_t kRtpHeaderSize = 12;
// Largest datagram the receive side reads; longer ones are cut to this size.
constexpr size_t kRtpMaxDatagram = 4112;

struct RtpHeader {
  bool marker = false;
  uint8_t payloadType = 0;
  uint16_t sequence = 0;   // host order
  uint32_t timestamp = 0;  // host order
  // The SSRC as the four header bytes stand in memory: the session writes its own value
  // without swapping and compares received ones the same way.
  uint32_t ssrc = 0;
};

// A validated datagram: its header in host order and where its payload lies.
struct RtpPacketView {
  RtpHeader header;
  size_t payloadOffset = kRtpHeaderSize;
  size_t payloadLength = 0;
};

// Validates a received datagram (at least 12 bytes, version 2) and finds its payload:
// after the CSRC list, after a header extension when X is set, without the padding when
// P is set. Each step is limited to the bytes that remain, so any input is safe.
bool readRtpPacket(const uint8_t* data, size_t length, RtpPacketView& out);

// Writes the 12-byte header (version 2, no padding, extension or CSRC).
void writeRtpHeader(uint8_t* out, bool marker, uint8_t payloadType, uint16_t sequence,
                    uint32_t timestamp, uint32_t ssrc);

// The RTP trace line of one datagram: direction ">>>" (sent) or "<<<" (received), the
// peer as "a.b.c.d:port", and the header fields read from the datagram in network order.
// Answers an empty text for a datagram shorter than a header.
std::string rtpTraceLine(uint32_t tickMs, const char* direction, const std::string& peer,
                         const uint8_t* datagram, size_t length);

}  // namespace quillet::media
