// SPDX-License-Identifier: Apache-2.0
// Auto-answer requests of an incoming INVITE in the forms phones and PBXs send them
// (Answer-Mode and Priv-Answer-Mode, Call-Info answer-after, Alert-Info auto-answer
// markers), and the lines an intercom INVITE carries to ask for the same.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sip/sip_message.h"

namespace quillet::sip {

enum class AnswerMode { None, Auto, Manual };

struct AutoAnswerRequest {
  AnswerMode mode = AnswerMode::None;      // Answer-Mode, or what Call-Info / Alert-Info ask for
  bool required = false;                   // "Answer-Mode: ...;require"
  AnswerMode privMode = AnswerMode::None;  // Priv-Answer-Mode
  bool privRequired = false;
  int32_t delaySeconds = 0;  // answer-after=N or delay=N (0..kMaxAnswerDelaySeconds)

  bool wantsAuto() const { return mode == AnswerMode::Auto || privMode == AnswerMode::Auto; }
  // The caller insists on an answer mode: refused with 403 when it is not honoured.
  bool requiresAuto() const {
    return (mode == AnswerMode::Auto && required) || (privMode == AnswerMode::Auto && privRequired);
  }
};

// A longer delay than this is taken as this (a caller cannot keep a line ringing for ever).
constexpr int32_t kMaxAnswerDelaySeconds = 30;

// Reads every auto-answer form of the INVITE. Names and tokens compare without regard to
// case; malformed values are ignored, never refused.
AutoAnswerRequest readAutoAnswer(const SipMessage& invite);

// Which lines an intercom INVITE carries (a set of bits).
enum AnswerHeader : uint32_t {
  kAnswerModeHeader = 1,  // "Answer-Mode: Auto"
  kCallInfoHeader = 2,    // "Call-Info: <...>;answer-after=0"
  kAlertInfoHeader = 4,   // "Alert-Info: <...>;info=alert-autoanswer"
};

// Reads a comma-separated choice of header names ("Answer-Mode, Call-Info, Alert-Info",
// case ignored) as a set of AnswerHeader bits. Unknown names go to `unknown` (comma
// separated); an empty or entirely unknown choice gives kAnswerModeHeader.
uint32_t parseAnswerHeaders(std::string_view choice, std::string* unknown = nullptr);

// The header lines (each ending in CR LF) of the chosen set; `host` names this side in
// the Call-Info and Alert-Info URIs.
std::string answerHeaderLines(uint32_t headers, std::string_view host);

}  // namespace quillet::sip
