// SPDX-License-Identifier: Apache-2.0
// RTP fixed header reading and writing, and the RTP trace line.
#include "media/rtp_packet.h"

#include <cstring>

namespace quillet::media {

namespace {

uint16_t read16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t read32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace

bool readRtpPacket(const uint8_t* data, size_t length, RtpPacketView& out) {
  if (data == nullptr || length < kRtpHeaderSize || (data[0] & 0xC0) != 0x80) return false;
  out.header.marker = (data[1] & 0x80) != 0;
  out.header.payloadType = data[1] & 0x7F;
  out.header.sequence = read16(data + 2);
  out.header.timestamp = read32(data + 4);
  std::memcpy(&out.header.ssrc, data + 8, 4);

  size_t offset = kRtpHeaderSize;
  size_t remaining = length - kRtpHeaderSize;
  auto skip = [&](size_t n) {
    if (n > remaining) n = remaining;
    offset += n;
    remaining -= n;
  };
  skip(4u * (data[0] & 0x0F));
  if ((data[0] & 0x10) != 0) {
    // The extension length is read only when its 4-byte header is really there.
    size_t extension = remaining >= 4 ? 4u * (read16(data + offset + 2) + 1u) : remaining;
    skip(extension);
  }
  if ((data[0] & 0x20) != 0 && remaining > 0) {
    size_t padding = data[length - 1];
    remaining -= padding < remaining ? padding : remaining;
  }
  out.payloadOffset = offset;
  out.payloadLength = remaining;
  return true;
}

void writeRtpHeader(uint8_t* out, bool marker, uint8_t payloadType, uint16_t sequence,
                    uint32_t timestamp, uint32_t ssrc) {
  out[0] = 0x80;
  out[1] = static_cast<uint8_t>((payloadType & 0x7F) | (marker ? 0x80 : 0));
  out[2] = static_cast<uint8_t>(sequence >> 8);
  out[3] = static_cast<uint8_t>(sequence);
  out[4] = static_cast<uint8_t>(timestamp >> 24);
  out[5] = static_cast<uint8_t>(timestamp >> 16);
  out[6] = static_cast<uint8_t>(timestamp >> 8);
  out[7] = static_cast<uint8_t>(timestamp);
  std::memcpy(out + 8, &ssrc, 4);
}

std::string rtpTraceLine(uint32_t tickMs, const char* direction, const std::string& peer,
                         const uint8_t* datagram, size_t length) {
  if (datagram == nullptr || length < kRtpHeaderSize) return {};
  // Fields print as signed 32-bit decimals, as the trace has always shown them.
  std::string line = std::to_string(tickMs % 10000) + "ms Rtp " + direction + " " + peer + " ";
  line += (datagram[1] & 0x80) != 0 ? "Mark" : "    ";
  line += " " + std::to_string(datagram[1] & 0x7F);
  line += " seq=" + std::to_string(read16(datagram + 2));
  line += " ts=" + std::to_string(static_cast<int32_t>(read32(datagram + 4)));
  line += " ssrc=" + std::to_string(static_cast<int32_t>(read32(datagram + 8)));
  line += " " + std::to_string(length - kRtpHeaderSize) + " bytes\r\n";
  return line;
}

}  // namespace quillet::media
