// SPDX-License-Identifier: Apache-2.0
// The SIP subsystem's log lines: to the program's log writer, then to the hook.
#include "sip/sip_log.h"

#include <mutex>

#include "base/log.h"

namespace quillet::sip {

namespace {
std::mutex& hookMutex() {
  static std::mutex mutex;
  return mutex;
}
SipLogHook& hook() {
  static SipLogHook h;
  return h;
}
}  // namespace

void sipLog(SipLogLevel level, std::string_view text) {
  if (level == SipLogLevel::Error) {
    base::logError(text);
  } else {
    base::logInfo(text);
  }
  std::lock_guard lock(hookMutex());
  if (hook()) hook()(level, std::string(text));
}

void setSipLogHook(SipLogHook h) {
  std::lock_guard lock(hookMutex());
  hook() = std::move(h);
}

}  // namespace quillet::sip
