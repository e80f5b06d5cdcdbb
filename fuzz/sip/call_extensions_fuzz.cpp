// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the RSeq, RAck, Session-Expires and Min-SE values, and the session timer's
// answer to a message made of arbitrary headers.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sip/call_extensions.h"
#include "sip/session_timer.h"

using namespace quillet::sip;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const std::optional<uint32_t> n = parseRSeq(text); n && (*n == 0 || *n > kMaxResponseNumber))
    std::abort();
  if (const std::optional<RAck> rack = parseRAck(text); rack && rack->method.empty()) std::abort();
  if (const std::optional<SessionExpires> expires = parseSessionExpires(text)) {
    // What is written out reads back the same.
    const std::optional<SessionExpires> again = parseSessionExpires(sessionExpiresValue(*expires));
    if (!again || again->seconds != expires->seconds || again->refresher != expires->refresher)
      std::abort();
  }
  if (const std::optional<uint32_t> least = parseMinSE(text); least && *least == 0) std::abort();

  std::optional<SipMessage> message = SipMessage::parse(text);
  if (!message) return 0;
  if (const std::optional<SessionExpires> answer = answerSessionTimer(*message, 1800, 90)) {
    if (answer->seconds < 90 || answer->refresher == Refresher::None) std::abort();
    (void)sessionTimerLines(*message, *answer);
  }
  (void)sessionTooShortLines(*message, 90);
  (void)supportsOption(*message, "100rel");
  return 0;
}
