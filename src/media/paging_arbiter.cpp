// SPDX-License-Identifier: Apache-2.0
// PageArbiter: channel ownership and the choice of the page that plays.
#include "media/paging_arbiter.h"

#include <algorithm>

namespace quillet::media {

PageLevel pageLevelOf(int32_t priority) {
  if (priority >= kPageEmergencyLevel) return PageLevel::Emergency;
  if (priority >= kPagePriorityLevel) return PageLevel::Priority;
  return PageLevel::Normal;
}

const char* pageLevelName(PageLevel level) {
  switch (level) {
    case PageLevel::Priority:
      return "priority";
    case PageLevel::Emergency:
      return "emergency";
    case PageLevel::Normal:
      break;
  }
  return "normal";
}

bool LogBudget::allow(uint32_t nowMs) {
  if (!started_ || nowMs - windowStart_ >= kWindowMs) {
    started_ = true;
    windowStart_ = nowMs;
    used_ = 0;
  }
  if (used_ < kLines) {
    ++used_;
    return true;
  }
  ++heldBack_;
  return false;
}

uint32_t LogBudget::takeHeldBack() {
  const uint32_t count = heldBack_;
  heldBack_ = 0;
  return count;
}

PageArbiter::Stream* PageArbiter::find(const PageKey& key) {
  const auto it = std::find_if(streams_.begin(), streams_.end(),
                               [&](const Stream& stream) { return stream.key == key; });
  return it != streams_.end() ? &*it : nullptr;
}

PageArbiter::Stream* PageArbiter::channelHolder(const PageKey& key) {
  if (key.channel == 0) return nullptr;
  for (Stream& stream : streams_) {
    if (stream.key.listen == key.listen && stream.key.channel == key.channel &&
        stream.key.sender != key.sender) {
      return &stream;
    }
  }
  return nullptr;
}

bool PageArbiter::packet(const PageKey& key, const PageInfo& info, bool alerting, uint32_t nowMs) {
  Stream* stream = find(key);
  if (stream == nullptr) {
    if (Stream* holder = channelHolder(key)) {
      // First come holds the channel; two still alerting: the lower serial.
      if (!(holder->alerting && alerting && key.sender < holder->key.sender)) {
        ++ignored_;
        return false;
      }
      end(holder->key);
    }
    if (streams_.size() >= kMostStreams) {
      ++ignored_;
      return false;
    }
    Stream added;
    added.key = key;
    added.info = info;
    added.info.id = nextId_++;
    added.info.level = pageLevelOf(info.priority);
    added.order = nextOrder_++;
    added.admitted = admit_ == nullptr || admit_(added.info);
    streams_.push_back(std::move(added));
    stream = &streams_.back();
    choose();
  }
  if (stream->ending) return false;
  stream->lastMs = nowMs;
  stream->alerting = stream->alerting && alerting;
  if (!stream->admitted) {
    ++ignored_;
    return false;
  }
  return current_ && &streams_[*current_] == stream;
}

void PageArbiter::end(const PageKey& key, uint32_t nowMs, uint32_t drainMs) {
  Stream* stream = find(key);
  if (stream == nullptr || stream->ending) return;
  stream->ending = true;
  stream->lastMs = nowMs + drainMs - kSilentEndMs;  // expire() takes it then
}

void PageArbiter::end(const PageKey& key) {
  const auto it = std::find_if(streams_.begin(), streams_.end(),
                               [&](const Stream& stream) { return stream.key == key; });
  if (it != streams_.end()) {
    streams_.erase(it);
    choose();
  }
}

void PageArbiter::expire(uint32_t nowMs) {
  const size_t before = streams_.size();
  std::erase_if(streams_,
                [&](const Stream& stream) { return nowMs - stream.lastMs >= kSilentEndMs; });
  if (streams_.size() != before) {
    choose();
  }
}

void PageArbiter::mute(uint64_t id) {
  for (Stream& stream : streams_) {
    if (stream.info.id == id) stream.muted = true;
  }
  choose();
}

std::optional<PageInfo> PageArbiter::current() const {
  if (!current_) return std::nullopt;
  return streams_[*current_].info;
}

void PageArbiter::choose() {
  current_.reset();
  for (size_t i = 0; i < streams_.size(); ++i) {
    const Stream& stream = streams_[i];
    if (!stream.admitted || stream.muted) continue;
    if (!current_) {
      current_ = i;
      continue;
    }
    const Stream& best = streams_[*current_];
    if (stream.info.priority > best.info.priority ||
        (stream.info.priority == best.info.priority && stream.order < best.order)) {
      current_ = i;
    }
  }
}

}  // namespace quillet::media
