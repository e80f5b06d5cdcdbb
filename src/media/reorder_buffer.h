// SPDX-License-Identifier: Apache-2.0
// ReorderBuffer: the 64 packet slots of the receive thread, the lock onto one sender and
// the choice of the packet that plays next. Only the far end's address and port reach it
// (RtpSourceGuard): its sender lock chooses among that source's SSRCs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "media/rtp_packet.h"

namespace quillet::media {

struct RtpSlot {
  bool inUse = false;
  RtpPacketView packet;  // header in host order, payload position
  size_t length = 0;     // datagram length
  std::array<uint8_t, kRtpMaxDatagram> data{};

  const uint8_t* payload() const { return data.data() + packet.payloadOffset; }
};

class ReorderBuffer {
 public:
  static constexpr int kSlots = 64;
  static constexpr uint32_t kSenderWindowMs = 5000;  // a new SSRC may take over this long
  // ... and later when the locked sender has been quiet this long (or, with a marker bit
  // on the new sender's packet, this short time): a stream switched mid-call.
  static constexpr uint32_t kQuietSenderMs = 200;
  static constexpr uint32_t kQuietMarkerMs = 40;
  static constexpr uint16_t kBehindLimit = 65280;  // distances from here on are 256 behind

  explicit ReorderBuffer(uint32_t nowTick);

  // The first free slot in slot order, or nullptr when all are in use.
  RtpSlot* freeSlot();

  // Takes a datagram of `length` bytes just received into `slot`: validates it, applies
  // the sender lock and chooses the head. Answers false when the datagram was dropped.
  bool store(RtpSlot& slot, size_t length, uint32_t nowTick);

  // Forgets the locked sender (after a re-negotiation); the slots stay.
  void restartLock(uint32_t nowTick);

  // The slot that plays next, or nullptr.
  const RtpSlot* head() const { return head_; }

  // Frees the head, expects the sequence after it and chooses the next head.
  void popHead();

  uint16_t expectedSequence() const { return expected_; }
  bool started() const { return started_; }
  uint32_t lockedSsrc() const { return lockedSsrc_; }
  int inUseCount() const;

 private:
  void chooseHead();
  bool takesOver(const RtpHeader& header, uint32_t nowTick) const;
  // Locks onto a new sender: the slots of any other sender are freed.
  void lockOnto(const RtpHeader& header);

  bool started_ = false;
  uint32_t startTick_;
  uint32_t lastTick_ = 0;  // when the locked sender's last packet came
  uint32_t lockedSsrc_ = 0;
  uint16_t expected_ = 0;
  // One allocation for the life of the receive thread; none per packet.
  std::unique_ptr<std::array<RtpSlot, kSlots>> slots_;
  RtpSlot* head_ = nullptr;
};

}  // namespace quillet::media
