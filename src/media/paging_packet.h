// SPDX-License-Identifier: Apache-2.0
// The packets of multicast paging: the "group paging" format (Alert, Transmit and End
// packets on numbered channels) read and written, and paging targets ("ADDRESS:PORT" or
// "channel:N[@ADDRESS:PORT]") parsed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::media {

// Group paging: every packet starts with op code, channel, the sender's 32-bit serial and
// its caller id; Transmit packets carry a codec byte, a flags byte, a sample count and the
// audio of the frame before (redundancy, left out of a sender's first Transmit) followed
// by the current frame.
//
// Where the format's public description leaves a field open, this program chooses:
// - the caller id is a length byte and that many bytes; senders write 13, NUL-padded, and
//   readers take 0..64 bytes up to the first NUL (other unprintable bytes read as '?');
// - codec bytes: 0x00 PCMU, 0x08 PCMA, 0x09 G.722; other codecs are refused;
// - the flags byte is written 0 and not read;
// - the sample count counts 8000 units a second for every codec (G.722 as its RTP clock),
//   240 a frame, and starts at 0 with each page;
// - a frame is 30 ms: 240 bytes for every codec above; a Transmit holds one frame (a
//   sender's first) or two (the previous one, then the current one), nothing else;
// - 31 Alerts 30 ms apart before the first Transmit; 12 End packets sent back to back;
// - Alert and End packets may carry trailing bytes, which are ignored;
// - the serial is Paging/Serial, or a hash of the host name.
enum class GroupPageOp : uint8_t { Alert = 0x0F, Transmit = 0x10, End = 0xFF };

constexpr uint8_t kGroupCodecPcmu = 0x00;
constexpr uint8_t kGroupCodecPcma = 0x08;
constexpr uint8_t kGroupCodecG722 = 0x09;
constexpr uint8_t kGroupChannelFirst = 1;
constexpr uint8_t kGroupChannelLast = 25;
constexpr uint8_t kGroupChannelPriority = 24;
constexpr uint8_t kGroupChannelEmergency = 25;
constexpr size_t kGroupCallerIdBytes = 13;  // what senders write; readers take 0..kGroupCallerIdMax
constexpr size_t kGroupCallerIdMax = 64;
// 30 ms frames: 240 G.711 samples, or 480 G.722 samples in 240 bytes.
constexpr size_t kGroupFrameBytes = 240;
constexpr uint32_t kGroupFrameMs = 30;
constexpr int kGroupAlertPackets = 31;
constexpr int kGroupEndPackets = 12;
constexpr char kGroupDefaultAddress[] = "224.0.1.116";
constexpr uint16_t kGroupDefaultPort = 5001;

struct GroupPagePacket {
  GroupPageOp op = GroupPageOp::Alert;
  uint8_t channel = 1;
  uint32_t serial = 0;
  std::string callerId;  // printable ASCII; other bytes read as '?'
  // Transmit only.
  uint8_t codec = kGroupCodecPcmu;
  uint8_t flags = 0;
  uint32_t sampleCount = 0;        // first sample of the current frame, 8000 units a second
  std::vector<uint8_t> redundant;  // the frame before (empty in a first Transmit)
  std::vector<uint8_t> audio;      // the current frame

  bool operator==(const GroupPagePacket&) const = default;
};

// Reads one datagram; false for anything that is not a well-formed group paging packet
// (unknown op code, channel outside 1..25, short or over-long fields, a Transmit whose
// audio is neither one nor two whole frames). Any input is safe.
bool readGroupPagePacket(const uint8_t* data, size_t size, GroupPagePacket& out);
// Writes a packet (the caller id cut or padded with NULs to kGroupCallerIdBytes).
std::vector<uint8_t> writeGroupPagePacket(const GroupPagePacket& packet);

// Where a page goes or comes from: a plain RTP group, or a group paging channel.
struct PageTarget {
  bool grouped = false;  // group paging format on `channel`
  uint8_t channel = 0;
  uint32_t address = 0;  // IPv4, network order
  uint16_t port = 0;
  bool operator==(const PageTarget&) const = default;
};

// "A.B.C.D:PORT" (a multicast address 224.0.0.0/4, port 1..65535), or "channel:N" /
// "channel:N@A.B.C.D:PORT" (N 1..25; without an address the default group). Empty on
// anything else.
std::optional<PageTarget> parsePageTarget(std::string_view text);
// "A.B.C.D:PORT"
std::optional<PageTarget> parseGroupAddress(std::string_view text);
bool isMulticast(uint32_t address);

}  // namespace quillet::media
