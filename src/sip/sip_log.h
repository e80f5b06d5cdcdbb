// SPDX-License-Identifier: Apache-2.0
// The SIP subsystem's log lines: information and error lines go to the program's log
// writer; tests (and the test peer) can watch them through a hook.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace quillet::sip {

enum class SipLogLevel { Info = 0, Error = 1 };

void sipLog(SipLogLevel level, std::string_view text);
inline void sipLogInfo(std::string_view text) {
  sipLog(SipLogLevel::Info, text);
}
inline void sipLogError(std::string_view text) {
  sipLog(SipLogLevel::Error, text);
}

// Receives every line after the log writer has it (any thread). Empty hook: none.
using SipLogHook = std::function<void(SipLogLevel, const std::string&)>;
void setSipLogHook(SipLogHook hook);

}  // namespace quillet::sip
