// SPDX-License-Identifier: Apache-2.0
// SipCall: one INVITE dialog and its message queue.
#include "sip/sip_call.h"

#include "sip/sip_uri.h"

namespace quillet::sip {

SipCall::SipCall() : ownEvent_(std::make_unique<platform::Event>()), wake_(ownEvent_.get()) {}

void SipCall::push(SipMessage message) {
  std::lock_guard lock(queueLock_);
  queue_.push_back(std::move(message));
  wake_->set();
}

std::optional<SipMessage> SipCall::pop() {
  std::lock_guard lock(queueLock_);
  platform::Event* own = wake_ == ownEvent_.get() ? ownEvent_.get() : nullptr;
  if (queue_.empty()) {
    if (own != nullptr) own->reset();
    return std::nullopt;
  }
  SipMessage message = std::move(queue_.front());
  queue_.pop_front();
  if (queue_.empty() && own != nullptr) own->reset();
  return message;
}

void SipCall::shareWake(platform::Event& wake) {
  std::lock_guard lock(queueLock_);
  wake_ = &wake;
  ownEvent_.reset();
  if (!queue_.empty()) wake.set();
}

bool SipCall::hasMessages() const {
  std::lock_guard lock(queueLock_);
  return !queue_.empty();
}

bool SipCall::matches(std::string_view callIdValue, std::string_view tagOrEmpty) const {
  if (callIdValue != callId) return false;
  return tagOrEmpty.empty() || tagOrEmpty == localTag;
}

void SipCall::confirmRemoteTag(std::string tag) {
  std::lock_guard lock(queueLock_);
  if (confirmedRemoteTag_.empty()) confirmedRemoteTag_ = std::move(tag);
}

bool SipCall::isOtherFork(std::string_view toTag) const {
  std::lock_guard lock(queueLock_);
  return !confirmedRemoteTag_.empty() && toTag != confirmedRemoteTag_;
}

bool SipCall::isDialog(std::string_view callIdValue, std::string_view local,
                       std::string_view remote) const {
  if (callIdValue != callId || local != localTag) return false;
  std::lock_guard lock(queueLock_);
  return !confirmedRemoteTag_.empty() && remote == confirmedRemoteTag_;
}

std::string tagOf(std::string_view nameAddrValue) {
  return paramValue(parseNameAddr(nameAddrValue).params, "tag");
}

std::string topVia(const SipMessage& message) {
  // The first Via header's value; a header listing several Vias keeps only the first.
  const std::string via = message.header(hdr::kVia);
  const std::vector<std::string> parts = splitList(via);
  return parts.empty() ? via : parts.front();
}

}  // namespace quillet::sip
