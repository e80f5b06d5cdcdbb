// SPDX-License-Identifier: Apache-2.0
// Group paging packets read and written; paging targets parsed.
#include "media/paging_packet.h"

#include <charconv>

#include "platform/socket.h"

namespace quillet::media {

namespace {

constexpr size_t kFixedHeader = 7;     // op, channel, serial, caller id length
constexpr size_t kTransmitFields = 6;  // codec, flags, sample count

uint32_t read32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void append32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(static_cast<uint8_t>(value >> shift));
  }
}

bool knownOp(uint8_t op) {
  return op == static_cast<uint8_t>(GroupPageOp::Alert) ||
         op == static_cast<uint8_t>(GroupPageOp::Transmit) ||
         op == static_cast<uint8_t>(GroupPageOp::End);
}

bool parsePort(std::string_view text, uint16_t& port) {
  uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 1 || value > 65535) {
    return false;
  }
  port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

bool readGroupPagePacket(const uint8_t* data, size_t size, GroupPagePacket& out) {
  if (data == nullptr || size < kFixedHeader || !knownOp(data[0])) {
    return false;
  }
  const uint8_t channel = data[1];
  const size_t idLength = data[6];
  if (channel < kGroupChannelFirst || channel > kGroupChannelLast || idLength > kGroupCallerIdMax ||
      size < kFixedHeader + idLength) {
    return false;
  }
  out = GroupPagePacket();
  out.op = static_cast<GroupPageOp>(data[0]);
  out.channel = channel;
  out.serial = read32(data + 2);
  // The caller id is padded with NULs: it ends at the first one.
  for (size_t i = 0; i < idLength && data[kFixedHeader + i] != 0; ++i) {
    const uint8_t c = data[kFixedHeader + i];
    out.callerId += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  const uint8_t* rest = data + kFixedHeader + idLength;
  const size_t restSize = size - kFixedHeader - idLength;
  if (out.op != GroupPageOp::Transmit) {
    return true;  // trailing bytes of Alert and End packets carry nothing we use
  }
  if (restSize < kTransmitFields) {
    return false;
  }
  out.codec = rest[0];
  out.flags = rest[1];
  out.sampleCount = read32(rest + 2);
  const size_t audioSize = restSize - kTransmitFields;
  const uint8_t* audio = rest + kTransmitFields;
  if (out.codec != kGroupCodecPcmu && out.codec != kGroupCodecPcma &&
      out.codec != kGroupCodecG722) {
    return false;
  }
  if (audioSize == kGroupFrameBytes) {
    out.audio.assign(audio, audio + audioSize);
  } else if (audioSize == 2 * kGroupFrameBytes) {
    out.redundant.assign(audio, audio + kGroupFrameBytes);
    out.audio.assign(audio + kGroupFrameBytes, audio + audioSize);
  } else {
    return false;
  }
  return true;
}

std::vector<uint8_t> writeGroupPagePacket(const GroupPagePacket& packet) {
  std::vector<uint8_t> out;
  out.reserve(kFixedHeader + kGroupCallerIdBytes + kTransmitFields + 2 * kGroupFrameBytes);
  out.push_back(static_cast<uint8_t>(packet.op));
  out.push_back(packet.channel);
  append32(out, packet.serial);
  out.push_back(static_cast<uint8_t>(kGroupCallerIdBytes));
  for (size_t i = 0; i < kGroupCallerIdBytes; ++i) {
    out.push_back(i < packet.callerId.size() ? static_cast<uint8_t>(packet.callerId[i]) : 0);
  }
  if (packet.op == GroupPageOp::Transmit) {
    out.push_back(packet.codec);
    out.push_back(packet.flags);
    append32(out, packet.sampleCount);
    out.insert(out.end(), packet.redundant.begin(), packet.redundant.end());
    out.insert(out.end(), packet.audio.begin(), packet.audio.end());
  }
  return out;
}

bool isMulticast(uint32_t address) {
  return (platform::ipv4Byte(address, 0) & 0xF0) == 0xE0;
}

std::optional<PageTarget> parseGroupAddress(std::string_view text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) {
    return std::nullopt;
  }
  PageTarget target;
  if (!platform::parseDottedQuad(text.substr(0, colon), target.address) ||
      !isMulticast(target.address) || !parsePort(text.substr(colon + 1), target.port)) {
    return std::nullopt;
  }
  return target;
}

std::optional<PageTarget> parsePageTarget(std::string_view text) {
  constexpr std::string_view kChannel = "channel:";
  if (text.substr(0, kChannel.size()) != kChannel) {
    return parseGroupAddress(text);
  }
  text.remove_prefix(kChannel.size());
  const size_t at = text.find('@');
  PageTarget target;
  if (at != std::string_view::npos) {
    const std::optional<PageTarget> group = parseGroupAddress(text.substr(at + 1));
    if (!group) {
      return std::nullopt;
    }
    target = *group;
    text = text.substr(0, at);
  } else {
    platform::parseDottedQuad(kGroupDefaultAddress, target.address);
    target.port = kGroupDefaultPort;
  }
  uint32_t channel = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), channel);
  if (error != std::errc() || end != text.data() + text.size() || channel < kGroupChannelFirst ||
      channel > kGroupChannelLast) {
    return std::nullopt;
  }
  target.grouped = true;
  target.channel = static_cast<uint8_t>(channel);
  return target;
}

}  // namespace quillet::media
