// SPDX-License-Identifier: Apache-2.0
// RtpSourceGuard: which address and port the receive side takes RTP from, so that nobody
// but the far end of the call can put sound into it.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/socket.h"

namespace quillet::media {

class RtpSourceGuard {
 public:
  // How long after arming the first sender that is not the signalled one may still be
  // latched onto (unless arming says otherwise).
  static constexpr uint32_t kLatchWindowMs = 2000;

  enum class Verdict {
    Take,      // from the far end: on to the receive buffer
    Ignore,    // not RTP the far end would send, from nobody known yet: dropped quietly
    Stranger,  // from somebody other than the far end: dropped and counted
  };

  // Starts over for the address and port the far end's SDP names (one that nothing sends
  // from when it names nothing usable). Until a sender is locked onto, the signalled one is
  // taken, and the first sender of valid RTP locks in: the signalled one at any time, another
  // one only within `windowMs` of now. Once locked, all others are strangers, except that
  // without `latch` the signalled sender still takes over from another one latched onto
  // while it was silent. `latch`: the far end is behind a NAT and asked us to follow its
  // packets, so its signalled address is one of its own network.
  void arm(const platform::SocketAddress& signalled, bool latch, uint32_t nowTick,
           uint32_t windowMs = kLatchWindowMs);

  // Decides about one datagram from `from`. `usable`: it is valid RTP of a negotiated
  // payload type, the only kind that may lock a sender in.
  Verdict check(const platform::SocketAddress& from, bool usable, uint32_t nowTick);

  // The sender locked onto, if any.
  const std::optional<platform::SocketAddress>& locked() const { return locked_; }

 private:
  platform::SocketAddress signalled_;
  std::optional<platform::SocketAddress> locked_;
  bool latch_ = false;
  uint32_t armedTick_ = 0;
  uint32_t windowMs_ = kLatchWindowMs;
};

}  // namespace quillet::media
