// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the auto-answer forms of an INVITE read from arbitrary headers, and the
// choice of the lines an intercom INVITE carries.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sip/auto_answer.h"
#include "sip/sip_message.h"

using namespace quillet::sip;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string unknown;
  const uint32_t headers = parseAnswerHeaders(text, &unknown);
  if (headers == 0 || headers > 7 || unknown.size() > 2 * size + 2) std::abort();
  (void)answerHeaderLines(headers, text.substr(0, 64));

  std::optional<SipMessage> message = SipMessage::parse(text);
  if (!message) return 0;
  const AutoAnswerRequest request = readAutoAnswer(*message);
  if (request.delaySeconds < 0 || request.delaySeconds > kMaxAnswerDelaySeconds) std::abort();
  if (request.requiresAuto() && !request.wantsAuto()) std::abort();
  return 0;
}
