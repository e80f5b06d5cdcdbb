// SPDX-License-Identifier: Apache-2.0
// The session timer's deadlines and the answering side's choice of interval and refresher.
#include "sip/session_timer.h"

#include <algorithm>

namespace quillet::sip {

namespace {

int64_t since(uint32_t now, uint32_t then) {
  return static_cast<int32_t>(now - then);
}

}  // namespace

void SessionTimer::start(uint32_t seconds, bool refreshHere, uint32_t nowMs) {
  seconds_ = seconds;
  refreshHere_ = refreshHere;
  startMs_ = nowMs;
}

bool SessionTimer::refreshDue(uint32_t nowMs) const {
  return running() && refreshHere_ && since(nowMs, startMs_) >= int64_t{seconds_} * 500;
}

bool SessionTimer::expired(uint32_t nowMs) const {
  if (!running()) return false;
  const int64_t margin = refreshHere_ ? 0 : std::min<int64_t>(32, seconds_ / 3);
  return since(nowMs, startMs_) >= (int64_t{seconds_} - margin) * 1000;
}

std::optional<SessionExpires> answerSessionTimer(const SipMessage& request, uint32_t preferred,
                                                 uint32_t minimum) {
  const std::string value = request.header(hdr::kSessionExpires);
  const SessionExpires asked = (value.empty() ? std::nullopt : parseSessionExpires(value))
                                   .value_or(SessionExpires{0, Refresher::None});
  const bool supported = supportsOption(request, "timer");
  if (asked.seconds == 0 && !supported) return std::nullopt;
  SessionExpires answer;
  answer.seconds = std::max(asked.seconds != 0 ? asked.seconds : preferred, minimum);
  if (asked.refresher != Refresher::None && supported) {
    answer.refresher = asked.refresher;
  } else {
    answer.refresher = supported ? Refresher::Uac : Refresher::Uas;
  }
  return answer;
}

std::string sessionTooShortLines(const SipMessage& request, uint32_t minimum) {
  const std::string value = request.header(hdr::kSessionExpires);
  if (value.empty()) return {};
  const std::optional<SessionExpires> asked = parseSessionExpires(value);
  if (!asked || asked->seconds >= minimum) return {};
  return "Min-SE: " + std::to_string(minimum) + "\r\n";
}

std::string sessionTimerLines(const SipMessage& request, const SessionExpires& answer) {
  std::string lines = "Session-Expires: " + sessionExpiresValue(answer) + "\r\n";
  if (supportsOption(request, "timer")) lines += "Require: timer\r\n";
  return lines;
}

}  // namespace quillet::sip
