// SPDX-License-Identifier: Apache-2.0
// SipIds: the generators of Call-IDs, local tags and Via branches that the SIP transport
// owns: each starts with 32 random bits, then a counter behind a lock of its own.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace quillet::sip {

class SipIds {
 public:
  // `processId`: goes into the Call-ID suffix and every branch. `deviceName`: the host
  // name; its first 12 characters, URI-escaped, end the Call-ID suffix.
  // `callIdStart`: the local time in seconds; `tickMs`: milliseconds since boot (the
  // tag counter starts at tickMs % 10000).
  SipIds(uint32_t processId, std::string_view deviceName, uint32_t callIdStart, uint32_t tickMs);

  // The same, from this process: getpid(), gethostname(), the current time, and the
  // tick the caller gives (platform::tickMs()).
  static SipIds forThisProcess(uint32_t tickMs);

  // "RANDOM-%d%s%s": 8 random hex digits, counter, host suffix "-PID-DEVICE@", and the
  // public address text.
  std::string newCallId(std::string_view publicAddress);
  // 8 random hex digits, then the tag counter.
  std::string newTag();
  // "z9hG4bK", 8 random hex digits, the branch counter, then the process id.
  std::string newBranch();

 private:
  uint32_t processId_;
  std::string hostSuffix_;  // "-%d-%s@" made once from the process id and the escaped name
  std::mutex callIdLock_;
  uint32_t callIdCounter_;
  std::mutex tagLock_;
  uint32_t tagCounter_;
  std::mutex branchLock_;
  uint32_t branchCounter_ = 0;
};

}  // namespace quillet::sip
