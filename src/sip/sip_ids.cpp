// SPDX-License-Identifier: Apache-2.0
// SipIds: Call-IDs, tags and branches: 32 random bits each (a stranger cannot guess the
// next), then a counter behind its own lock (two values are never equal).
#include "sip/sip_ids.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <ctime>

#include "base/text_builder.h"
#include "platform/random.h"
#include "sip/sip_message.h"
#include "sip/sip_uri.h"

namespace quillet::sip {

namespace {

// The counters wrap like the 32-bit values they are; they print as signed numbers.
int32_t asSigned(uint32_t value) {
  return static_cast<int32_t>(value);
}

// Eight lower-case hex digits of 32 fresh random bits.
std::string randomHex() {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", platform::random32());
  return text;
}

}  // namespace

SipIds::SipIds(uint32_t processId, std::string_view deviceName, uint32_t callIdStart,
               uint32_t tickMs)
    : processId_(processId), callIdCounter_(callIdStart), tagCounter_(tickMs % 10000) {
  hostSuffix_ = base::format("-%d-%s@", asSigned(processId_), uriEscape(cutChars(deviceName, 12)));
}

SipIds SipIds::forThisProcess(uint32_t tickMs) {
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  return SipIds(static_cast<uint32_t>(getpid()), host, static_cast<uint32_t>(std::time(nullptr)),
                tickMs);
}

std::string SipIds::newCallId(std::string_view publicAddress) {
  uint32_t counter;
  {
    std::lock_guard<std::mutex> lock(callIdLock_);
    counter = callIdCounter_++;
  }
  return base::format("%s-%d%s%s", randomHex(), asSigned(counter), hostSuffix_, publicAddress);
}

std::string SipIds::newTag() {
  uint32_t counter;
  {
    std::lock_guard<std::mutex> lock(tagLock_);
    counter = tagCounter_++;
  }
  return base::format("%s%d", randomHex(), asSigned(counter));
}

std::string SipIds::newBranch() {
  uint32_t counter;
  {
    std::lock_guard<std::mutex> lock(branchLock_);
    counter = branchCounter_++;
  }
  return base::format("z9hG4bK%s%d%d", randomHex(), asSigned(counter), asSigned(processId_));
}

}  // namespace quillet::sip
