// SPDX-License-Identifier: Apache-2.0
// Fuzz target: received RTP datagrams through validation, the reorder buffer and playout,
// and the telephone events among them through the digit reader.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "media/dtmf_receiver.h"
#include "media/playout_clock.h"
#include "media/reorder_buffer.h"
#include "media/rtp_packet.h"

namespace {

class SilentOutput : public quillet::media::PlayoutOutput {
 public:
  uint32_t nowMs() override { return now += 7; }
  void sleepMs(uint32_t ms) override { now += ms; }
  void writeSamples(const int32_t* /*samples*/, size_t /*count*/) override {}
  uint32_t now = 1000;
};

}  // namespace

// The input is a series of datagrams, each preceded by a 2-byte length.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillet::media;
  RtpPacketView view;
  if (readRtpPacket(data, size, view) && view.payloadOffset + view.payloadLength > size) {
    __builtin_trap();
  }
  rtpTraceLine(1, "<<<", "1.2.3.4:5", data, size);

  SilentOutput output;
  ReorderBuffer buffer(output.now);
  PlayoutClock clock(output, 1);
  PlayoutTypes types{13, 97};
  types.telephoneEvent = 101;
  DtmfReceiver digits;
  size_t at = 0;
  while (at + 2 <= size) {
    size_t length = (static_cast<size_t>(data[at]) << 8 | data[at + 1]) % (kRtpMaxDatagram + 1);
    at += 2;
    if (length > size - at) length = size - at;
    RtpSlot* slot = buffer.freeSlot();
    if (slot == nullptr) {
      buffer.popHead();
      continue;
    }
    std::memcpy(slot->data.data(), data + at, length);
    at += length;
    if (buffer.store(*slot, length, output.now) && slot->packet.header.payloadType == 101) {
      const auto digit =
          digits.take(slot->packet.header.timestamp, slot->payload(), slot->packet.payloadLength);
      if (digit && std::strchr("0123456789*#ABCD", *digit) == nullptr) __builtin_trap();
    }
    while (const RtpSlot* head = buffer.head()) {
      bool late = head->packet.header.sequence != buffer.expectedSequence();
      clock.play(*head, late, types);
      buffer.popHead();
    }
    clock.idleFill();
  }
  return 0;
}
