// SPDX-License-Identifier: Apache-2.0
// RtpSourceGuard: the signalled sender, the one latch within the window, the lock.
#include "media/rtp_source_guard.h"

namespace quillet::media {

void RtpSourceGuard::arm(const platform::SocketAddress& signalled, bool latch, uint32_t nowTick,
                         uint32_t windowMs) {
  signalled_ = signalled;
  latch_ = latch;
  locked_.reset();
  armedTick_ = nowTick;
  windowMs_ = windowMs;
}

RtpSourceGuard::Verdict RtpSourceGuard::check(const platform::SocketAddress& from, bool usable,
                                              uint32_t nowTick) {
  if (locked_.has_value()) {
    if (from == *locked_) return Verdict::Take;
    // A sender latched onto while the signalled one was silent gives way to it: the SDP
    // names the far end. Not so behind a NAT, where the signalled address is one of the
    // far end's own network and the packets come from its NAT.
    if (!latch_ && usable && from == signalled_) {
      locked_ = from;
      return Verdict::Take;
    }
    return Verdict::Stranger;
  }
  if (from == signalled_) {
    if (usable) locked_ = from;
    return Verdict::Take;
  }
  if (nowTick - armedTick_ >= windowMs_) return Verdict::Stranger;
  if (!usable) return Verdict::Ignore;
  locked_ = from;
  return Verdict::Take;
}

}  // namespace quillet::media
