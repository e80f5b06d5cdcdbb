// SPDX-License-Identifier: Apache-2.0
// RTCP compound packets: the writer, the bounded reader and the trace line.
#include "media/rtcp_packet.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace quillet::media {

namespace {

constexpr size_t kHeaderSize = 4;
constexpr size_t kSenderInfoSize = 20;
constexpr size_t kBlockSize = 24;
constexpr uint8_t kSdesEnd = 0;
constexpr uint8_t kSdesCname = 1;

uint16_t read16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t read32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

uint32_t readSsrc(const uint8_t* p) {
  uint32_t ssrc = 0;
  std::memcpy(&ssrc, p, 4);
  return ssrc;
}

class Writer {
 public:
  void byte(uint8_t value) { bytes_.push_back(value); }
  void u16(uint16_t value) {
    byte(static_cast<uint8_t>(value >> 8));
    byte(static_cast<uint8_t>(value));
  }
  void u32(uint32_t value) {
    u16(static_cast<uint16_t>(value >> 16));
    u16(static_cast<uint16_t>(value));
  }
  void ssrc(uint32_t value) {
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    bytes_.insert(bytes_.end(), p, p + 4);
  }
  void padTo32() {
    while (bytes_.size() % 4 != 0) byte(0);
  }
  // Starts a packet; `finish` fills in its length once its body is written.
  size_t begin(uint8_t count, uint8_t type) {
    const size_t at = bytes_.size();
    byte(static_cast<uint8_t>(0x80 | (count & 0x1F)));
    byte(type);
    u16(0);
    return at;
  }
  void finish(size_t at) {
    const size_t words = (bytes_.size() - at) / 4 - 1;
    bytes_[at + 2] = static_cast<uint8_t>(words >> 8);
    bytes_[at + 3] = static_cast<uint8_t>(words);
  }
  std::vector<uint8_t> take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
};

void writeReport(Writer& out, const RtcpReport& report) {
  const size_t count = std::min(report.blocks.size(), kRtcpMaxBlocks);
  const size_t at = out.begin(static_cast<uint8_t>(count),
                              report.sender ? kRtcpSenderReport : kRtcpReceiverReport);
  out.ssrc(report.ssrc);
  if (report.sender) {
    out.u32(static_cast<uint32_t>(report.sender->ntpTime >> 32));
    out.u32(static_cast<uint32_t>(report.sender->ntpTime));
    out.u32(report.sender->rtpTimestamp);
    out.u32(report.sender->packets);
    out.u32(report.sender->octets);
  }
  for (size_t i = 0; i < count; ++i) {
    const RtcpReportBlock& block = report.blocks[i];
    const int32_t lost = std::clamp(block.cumulativeLost, -0x800000, 0x7FFFFF);
    out.ssrc(block.ssrc);
    out.u32(static_cast<uint32_t>(block.fractionLost) << 24 |
            (static_cast<uint32_t>(lost) & 0xFFFFFF));
    out.u32(block.highestSequence);
    out.u32(block.jitter);
    out.u32(block.lastSenderReport);
    out.u32(block.delaySinceSenderReport);
  }
  out.finish(at);
}

void writeCnames(Writer& out, const std::vector<RtcpCname>& cnames) {
  const size_t count = std::min<size_t>(cnames.size(), 31);
  const size_t at = out.begin(static_cast<uint8_t>(count), kRtcpSourceDescription);
  for (size_t i = 0; i < count; ++i) {
    const std::string& name = cnames[i].name;
    const size_t length = std::min(name.size(), kRtcpMaxCname);
    out.ssrc(cnames[i].ssrc);
    out.byte(kSdesCname);
    out.byte(static_cast<uint8_t>(length));
    for (size_t c = 0; c < length; ++c) out.byte(static_cast<uint8_t>(name[c]));
    // The item list ends with at least one zero byte, padded to a 32-bit boundary.
    out.byte(kSdesEnd);
    out.padTo32();
  }
  out.finish(at);
}

void writeBye(Writer& out, const std::vector<uint32_t>& byes) {
  const size_t count = std::min<size_t>(byes.size(), 31);
  const size_t at = out.begin(static_cast<uint8_t>(count), kRtcpBye);
  for (size_t i = 0; i < count; ++i) out.ssrc(byes[i]);
  out.finish(at);
}

// One packet of a compound: its type, count field and body (after the 4-byte header,
// without padding).
struct Packet {
  uint8_t type = 0;
  uint8_t count = 0;
  const uint8_t* body = nullptr;
  size_t length = 0;
};

bool readReport(const Packet& packet, RtcpCompound& out) {
  const bool sender = packet.type == kRtcpSenderReport;
  const size_t fixed = 4 + (sender ? kSenderInfoSize : 0);
  if (packet.length < fixed + packet.count * kBlockSize) return false;
  RtcpReport report;
  report.ssrc = readSsrc(packet.body);
  const uint8_t* p = packet.body + 4;
  if (sender) {
    RtcpSenderInfo info;
    info.ntpTime = static_cast<uint64_t>(read32(p)) << 32 | read32(p + 4);
    info.rtpTimestamp = read32(p + 8);
    info.packets = read32(p + 12);
    info.octets = read32(p + 16);
    report.sender = info;
    p += kSenderInfoSize;
  }
  for (size_t i = 0; i < packet.count; ++i, p += kBlockSize) {
    RtcpReportBlock block;
    block.ssrc = readSsrc(p);
    const uint32_t loss = read32(p + 4);
    block.fractionLost = static_cast<uint8_t>(loss >> 24);
    // The 24-bit count, sign-extended.
    block.cumulativeLost = static_cast<int32_t>((loss & 0xFFFFFF) ^ 0x800000) - 0x800000;
    block.highestSequence = read32(p + 8);
    block.jitter = read32(p + 12);
    block.lastSenderReport = read32(p + 16);
    block.delaySinceSenderReport = read32(p + 20);
    report.blocks.push_back(block);
  }
  out.reports.push_back(std::move(report));
  return true;
}

bool readSdes(const Packet& packet, RtcpCompound& out) {
  size_t at = 0;
  for (size_t chunk = 0; chunk < packet.count; ++chunk) {
    if (packet.length - at < 4) return false;
    const uint32_t ssrc = readSsrc(packet.body + at);
    at += 4;
    // Items up to the end item; each one's length is checked against what is left.
    while (true) {
      if (at >= packet.length) return false;
      const uint8_t type = packet.body[at];
      if (type == kSdesEnd) break;
      if (packet.length - at < 2) return false;
      const size_t length = packet.body[at + 1];
      if (packet.length - at - 2 < length) return false;
      if (type == kSdesCname) {
        out.cnames.push_back(
            {ssrc, std::string(reinterpret_cast<const char*>(packet.body + at + 2), length)});
      }
      at += 2 + length;
    }
    at = (at + 4) & ~size_t{3};  // past the end item and the padding to the next word
    if (at > packet.length) return false;
  }
  return true;
}

bool readBye(const Packet& packet, RtcpCompound& out) {
  if (packet.length < 4u * packet.count) return false;
  for (size_t i = 0; i < packet.count; ++i) out.byes.push_back(readSsrc(packet.body + 4 * i));
  // A reason may follow: a length byte and text, which must fit.
  const size_t reason = 4u * packet.count;
  return reason >= packet.length || 1u + packet.body[reason] <= packet.length - reason;
}

std::string ssrcText(uint32_t ssrc) {
  return std::to_string(static_cast<int32_t>(ntohl(ssrc)));
}

}  // namespace

std::vector<uint8_t> writeRtcpCompound(const RtcpCompound& compound) {
  if (compound.reports.empty()) return {};
  Writer out;
  for (const RtcpReport& report : compound.reports) writeReport(out, report);
  if (!compound.cnames.empty()) writeCnames(out, compound.cnames);
  if (!compound.byes.empty()) writeBye(out, compound.byes);
  return out.take();
}

bool readRtcpCompound(const uint8_t* data, size_t length, RtcpCompound& out) {
  if (data == nullptr || length < kHeaderSize || length % 4 != 0) return false;
  // The first packet: version 2, no padding, a sender or receiver report.
  if ((data[0] & 0xE0) != 0x80 ||
      (data[1] != kRtcpSenderReport && data[1] != kRtcpReceiverReport)) {
    return false;
  }
  size_t at = 0;
  while (at < length) {
    if (length - at < kHeaderSize || (data[at] & 0xC0) != 0x80) return false;
    const size_t size = (static_cast<size_t>(read16(data + at + 2)) + 1) * 4;
    if (size > length - at) return false;
    Packet packet{data[at + 1], static_cast<uint8_t>(data[at] & 0x1F), data + at + kHeaderSize,
                  size - kHeaderSize};
    if ((data[at] & 0x20) != 0) {
      // Only the last packet is padded; its last byte counts the padding, itself included.
      const size_t padding = data[at + size - 1];
      if (at + size != length || padding == 0 || padding > packet.length) return false;
      packet.length -= padding;
    }
    bool ok = true;
    switch (packet.type) {
      case kRtcpSenderReport:
      case kRtcpReceiverReport:
        ok = readReport(packet, out);
        break;
      case kRtcpSourceDescription:
        ok = readSdes(packet, out);
        break;
      case kRtcpBye:
        ok = readBye(packet, out);
        break;
      default:
        break;  // APP, feedback, extended reports: not used here
    }
    if (!ok) return false;
    at += size;
  }
  return true;
}

bool isRtcpDatagram(const uint8_t* data, size_t length) {
  return data != nullptr && length >= 8 && (data[0] & 0xC0) == 0x80 && data[1] >= 192 &&
         data[1] <= 223;
}

std::string rtcpTraceLine(uint32_t tickMs, const char* direction, const std::string& peer,
                          const RtcpCompound& compound) {
  std::string line = std::to_string(tickMs % 10000) + "ms Rtcp " + direction + " " + peer;
  for (const RtcpReport& report : compound.reports) {
    line += report.sender ? " SR ssrc=" : " RR ssrc=";
    line += ssrcText(report.ssrc);
    if (report.sender) {
      line += " packets=" + std::to_string(report.sender->packets) +
              " octets=" + std::to_string(report.sender->octets);
    }
    for (const RtcpReportBlock& block : report.blocks) {
      line += " [about=" + ssrcText(block.ssrc) +
              " fraction=" + std::to_string(block.fractionLost) +
              " lost=" + std::to_string(block.cumulativeLost) +
              " jitter=" + std::to_string(block.jitter) + "]";
    }
  }
  for (const RtcpCname& cname : compound.cnames) {
    line += " CNAME ssrc=" + ssrcText(cname.ssrc);
  }
  for (uint32_t bye : compound.byes) line += " BYE ssrc=" + ssrcText(bye);
  return line + "\r\n";
}

}  // namespace quillet::media
