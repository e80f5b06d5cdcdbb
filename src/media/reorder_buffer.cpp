// SPDX-License-Identifier: Apache-2.0
// ReorderBuffer: sender lock, slot storage and head choice of the receive thread.
#include "media/reorder_buffer.h"

namespace quillet::media {

ReorderBuffer::ReorderBuffer(uint32_t nowTick)
    : startTick_(nowTick), slots_(std::make_unique<std::array<RtpSlot, kSlots>>()) {}

RtpSlot* ReorderBuffer::freeSlot() {
  for (auto& slot : *slots_) {
    if (!slot.inUse) return &slot;
  }
  return nullptr;
}

bool ReorderBuffer::store(RtpSlot& slot, size_t length, uint32_t nowTick) {
  slot.inUse = false;
  if (length > slot.data.size()) length = slot.data.size();
  slot.length = length;
  if (!readRtpPacket(slot.data.data(), length, slot.packet)) return false;
  const RtpHeader& header = slot.packet.header;
  if (!started_) {
    lockOnto(header);
    started_ = true;
  } else if (header.ssrc != lockedSsrc_) {
    if (!takesOver(header, nowTick)) return false;
    lockOnto(header);
  }
  lastTick_ = nowTick;
  slot.inUse = true;
  chooseHead();
  return true;
}

bool ReorderBuffer::takesOver(const RtpHeader& header, uint32_t nowTick) const {
  if (nowTick - startTick_ < kSenderWindowMs) return true;
  const uint32_t quiet = nowTick - lastTick_;
  return quiet >= kQuietSenderMs || (header.marker && quiet >= kQuietMarkerMs);
}

void ReorderBuffer::lockOnto(const RtpHeader& header) {
  lockedSsrc_ = header.ssrc;
  expected_ = header.sequence;
  for (auto& slot : *slots_) {
    if (slot.inUse && slot.packet.header.ssrc != header.ssrc) slot.inUse = false;
  }
}

void ReorderBuffer::restartLock(uint32_t nowTick) {
  started_ = false;
  startTick_ = nowTick;
}

void ReorderBuffer::popHead() {
  if (head_ == nullptr) return;
  head_->inUse = false;
  expected_ = static_cast<uint16_t>(head_->packet.header.sequence + 1);
  chooseHead();
}

int ReorderBuffer::inUseCount() const {
  int count = 0;
  for (const auto& slot : *slots_) count += slot.inUse ? 1 : 0;
  return count;
}

void ReorderBuffer::chooseHead() {
  head_ = nullptr;
  uint16_t best = 0;
  for (auto& slot : *slots_) {
    if (!slot.inUse) continue;
    auto distance = static_cast<uint16_t>(slot.packet.header.sequence - expected_);
    if (distance >= kBehindLimit) {
      slot.inUse = false;  // up to 256 behind: too late to play
      continue;
    }
    if (head_ == nullptr || distance < best) {
      head_ = &slot;
      best = distance;
    }
  }
}

}  // namespace quillet::media
