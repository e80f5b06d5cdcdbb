// SPDX-License-Identifier: Apache-2.0
// The reliable provisional response's numbering, resends and acknowledgement.
#include "sip/reliable_provisional.h"

namespace quillet::sip {

namespace {

int32_t since(uint32_t now, uint32_t then) {
  return static_cast<int32_t>(now - then);
}

}  // namespace

// The first begin() adds one: start one below, within 1 .. 2^31 - 1 after that.
ReliableProvisional::ReliableProvisional(uint32_t firstNumber)
    : number_(firstNumber % (kMaxResponseNumber / 2)) {}

void ReliableProvisional::begin(uint32_t nowMs) {
  number_ = number_ >= kMaxResponseNumber ? 1 : number_ + 1;
  begun_ = true;
  pending_ = true;
  startMs_ = nowMs;
  nextMs_ = nowMs;
  intervalMs_ = kFirstResendMs;
}

bool ReliableProvisional::due(uint32_t nowMs) {
  if (!pending_ || since(nowMs, nextMs_) < 0) return false;
  nextMs_ = nowMs + intervalMs_;
  intervalMs_ *= 2;
  return true;
}

int32_t ReliableProvisional::waitMs(uint32_t nowMs) const {
  if (!pending_) return static_cast<int32_t>(kGiveUpMs);
  const int32_t left = since(nextMs_, nowMs);
  return left > 0 ? left : 0;
}

bool ReliableProvisional::gaveUp(uint32_t nowMs) const {
  return pending_ && since(nowMs, startMs_) >= static_cast<int32_t>(kGiveUpMs);
}

bool ReliableProvisional::acknowledge(const RAck& rack, uint32_t inviteCSeq) {
  if (!pending_ || rack.responseNumber != number_ || rack.cseq != inviteCSeq ||
      rack.method != "INVITE") {
    return false;
  }
  pending_ = false;
  return true;
}

}  // namespace quillet::sip
