// SPDX-License-Identifier: Apache-2.0
// A provisional response sent reliably (RFC 3262) as the answering side: its RSeq number,
// when it is sent again (T1, doubling) until the caller's PRACK, and when that wait is
// given up.
#pragma once

#include <cstdint>

#include "sip/call_extensions.h"
#include "sip/dialog_reaper.h"

namespace quillet::sip {

class ReliableProvisional {
 public:
  static constexpr uint32_t kFirstResendMs = DialogReaper::kResendStartMs;  // T1
  static constexpr uint32_t kGiveUpMs = 64 * kFirstResendMs;

  // `firstNumber`: the RSeq of the first response (any value from 1 to 2^31 - 1 is taken
  // into that range).
  explicit ReliableProvisional(uint32_t firstNumber);

  // A new call: nothing sent, nothing waits (the numbers go on).
  void reset() { begun_ = pending_ = false; }
  // A new reliable response, sent now: it takes the next RSeq.
  void begin(uint32_t nowMs);
  // Whether a response waits for its PRACK.
  bool pending() const { return pending_; }
  // Whether one was ever sent (and so whether a PRACK can be expected).
  bool begun() const { return begun_; }
  uint32_t number() const { return number_; }
  // Whether the pending response is due to be sent (again) now; if so, the next time is set.
  bool due(uint32_t nowMs);
  // Milliseconds until the next send (0 when due; a long wait when nothing is pending).
  int32_t waitMs(uint32_t nowMs) const;
  // Whether the PRACK wait ran out.
  bool gaveUp(uint32_t nowMs) const;
  // A PRACK's RAck: true when it names the pending response (its number and the INVITE's
  // CSeq), which is then acknowledged.
  bool acknowledge(const RAck& rack, uint32_t inviteCSeq);

 private:
  uint32_t number_;
  bool begun_ = false;
  bool pending_ = false;
  uint32_t startMs_ = 0;
  uint32_t nextMs_ = 0;
  uint32_t intervalMs_ = kFirstResendMs;
};

}  // namespace quillet::sip
