// SPDX-License-Identifier: Apache-2.0
// The session timer of a call (RFC 4028): the interval both sides agreed on, which side
// refreshes the session, when the refresh is due (half the interval) and when a session
// that was not refreshed has expired.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sip/call_extensions.h"

namespace quillet::sip {

inline constexpr uint32_t kDefaultSessionSeconds = 1800;
inline constexpr uint32_t kDefaultMinSessionSeconds = 90;

class SessionTimer {
 public:
  // No timer: the session never expires.
  void stop() { seconds_ = 0; }
  // The interval starts (again) now; `refreshHere`: this side sends the refreshes.
  void start(uint32_t seconds, bool refreshHere, uint32_t nowMs);
  bool running() const { return seconds_ != 0; }
  uint32_t seconds() const { return seconds_; }
  bool refreshHere() const { return refreshHere_; }
  // This side's refresh is due: half the interval has passed since the last one.
  bool refreshDue(uint32_t nowMs) const;
  // The session is over: the far end (the refresher) let the interval pass less the
  // margin of a third of it, at most 32 s; or this side's own refreshes failed for the
  // whole interval.
  bool expired(uint32_t nowMs) const;

 private:
  uint32_t seconds_ = 0;
  bool refreshHere_ = false;
  uint32_t startMs_ = 0;
};

// What the answer to an INVITE or UPDATE says of the session timer, as the answering side:
// the interval (the request's, never below `minimum`; `preferred` when it named none), and
// the refresher (the one it named; the caller when it supports timers, else this side).
// Nothing when the request neither asks for nor supports the timer.
std::optional<SessionExpires> answerSessionTimer(const SipMessage& request, uint32_t preferred,
                                                 uint32_t minimum);
// A request whose Session-Expires is below `minimum`: the 422's "Min-SE: N" line (empty
// when the request is fine).
std::string sessionTooShortLines(const SipMessage& request, uint32_t minimum);
// The header lines of that answer: Session-Expires, and Require: timer when the request
// supports it.
std::string sessionTimerLines(const SipMessage& request, const SessionExpires& answer);

}  // namespace quillet::sip
