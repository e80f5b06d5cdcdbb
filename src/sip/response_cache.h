// SPDX-License-Identifier: Apache-2.0
// ResponseCache: the last responses (and ACKs) sent, kept for 30 s so that a retransmitted
// request (or final response) is answered with the same text without reaching a call.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "sip/sip_target.h"

namespace quillet::sip {

// What identifies the message a cached text answers.
struct MessageIdentity {
  bool isRequest = true;
  uint16_t status = 65535;  // of a response; 65535 for a request
  std::string callId;
  std::string cseq;
  std::string topVia;
  std::string to;
  std::string from;
};

class ResponseCache {
 public:
  static constexpr uint32_t kLifetimeMs = 30000;
  static constexpr int kMaxResends = 16;
  // Bound on the records kept whatever the request rate; the oldest go first. At 4095
  // bytes per datagram at most this caps the cache near 16 MB even under a flood.
  static constexpr std::size_t kMaxRecords = 4096;

  // Stores a text sent in answer to the message `answered` (at the front: the most
  // recent answer is found first).
  void store(const MessageIdentity& answered, std::string text, const SipTarget& to,
             uint32_t nowMs);

  struct Hit {
    bool matched = false;
    bool resend = false;  // false once a record was resent kMaxResends times
    std::string text;
    SipTarget to;
  };
  // Looks up a received message; records older than the lifetime are deleted on the way.
  Hit match(const MessageIdentity& received, uint32_t nowMs);

  std::size_t size() const;
  std::size_t bytes() const;  // text bytes held
  void clear();

 private:
  struct Record {
    MessageIdentity id;
    std::string text;
    SipTarget to;
    uint32_t storedMs = 0;
    int resends = 0;
  };
  using RecordList = std::list<Record>;
  void expireLocked(uint32_t nowMs);
  void dropOldestLocked();
  static std::string keyOf(const MessageIdentity& id) { return id.callId + '\n' + id.cseq; }

  mutable std::mutex mutex_;
  RecordList records_;  // newest first
  // Records by Call-ID and CSeq (newest first in each bucket), so that a lookup does not
  // walk the whole cache.
  std::unordered_map<std::string, std::vector<RecordList::iterator>> index_;
  std::size_t bytes_ = 0;
};

}  // namespace quillet::sip
