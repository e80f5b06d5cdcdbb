// SPDX-License-Identifier: Apache-2.0
// ResponseCache: answers retransmissions with the text already sent.
#include "sip/response_cache.h"

#include <iterator>

namespace quillet::sip {

namespace {
bool sameIdentity(const MessageIdentity& record, const MessageIdentity& message) {
  if (record.isRequest != message.isRequest) return false;
  if (!record.isRequest && record.status != message.status) return false;
  return record.callId == message.callId && record.cseq == message.cseq &&
         record.topVia == message.topVia && record.to == message.to && record.from == message.from;
}
}  // namespace

void ResponseCache::dropOldestLocked() {
  const auto oldest = std::prev(records_.end());
  const auto bucket = index_.find(keyOf(oldest->id));
  if (bucket != index_.end()) {
    auto& entries = bucket->second;
    // The oldest record of the cache is the oldest of its bucket: look from the back.
    for (auto it = entries.end(); it != entries.begin();) {
      --it;
      if (*it == oldest) {
        entries.erase(it);
        break;
      }
    }
    if (entries.empty()) index_.erase(bucket);
  }
  bytes_ -= oldest->text.size();
  records_.erase(oldest);
}

void ResponseCache::expireLocked(uint32_t nowMs) {
  // Newest first: the expired records are at the back.
  while (!records_.empty() && nowMs - records_.back().storedMs > kLifetimeMs) dropOldestLocked();
  while (records_.size() > kMaxRecords) dropOldestLocked();
}

void ResponseCache::store(const MessageIdentity& answered, std::string text, const SipTarget& to,
                          uint32_t nowMs) {
  std::lock_guard lock(mutex_);
  bytes_ += text.size();
  records_.push_front(Record{answered, std::move(text), to, nowMs, 0});
  auto& entries = index_[keyOf(answered)];
  entries.insert(entries.begin(), records_.begin());
  expireLocked(nowMs);
}

ResponseCache::Hit ResponseCache::match(const MessageIdentity& received, uint32_t nowMs) {
  std::lock_guard lock(mutex_);
  expireLocked(nowMs);
  Hit hit;
  const auto bucket = index_.find(keyOf(received));
  if (bucket == index_.end()) return hit;
  for (const auto entry : bucket->second) {
    Record& record = *entry;
    if (!sameIdentity(record.id, received)) continue;
    hit.matched = true;
    if (record.resends < kMaxResends) {
      ++record.resends;
      hit.resend = true;
      hit.text = record.text;
      hit.to = record.to;
    }
    break;
  }
  return hit;
}

std::size_t ResponseCache::size() const {
  std::lock_guard lock(mutex_);
  return records_.size();
}

std::size_t ResponseCache::bytes() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

void ResponseCache::clear() {
  std::lock_guard lock(mutex_);
  records_.clear();
  index_.clear();
  bytes_ = 0;
}

}  // namespace quillet::sip
