// SPDX-License-Identifier: Apache-2.0
// PauseTrimmer: pause detection in 10 ms chunks, the cut of long pauses and the switch to
// passing audio straight through.
#include "audio/pause_trimmer.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace quillet::audio {

PauseTrimmer::PauseTrimmer(SourceRef source)
    : SourceFilter(std::move(source)), chunk_(std::max<uint32_t>(rate() / 100, 1)) {}

void PauseTrimmer::releaseHeld() {
  ready_.insert(ready_.end(), held_.begin(), held_.end());
  held_.clear();
}

void PauseTrimmer::pull() {
  if (live_) return;
  const size_t channels = this->channels();
  const size_t enough = static_cast<size_t>(rate() / 25) * channels;  // 40 ms ready
  std::vector<int32_t> chunk(static_cast<size_t>(chunk_) * channels);
  while (ready_.size() < enough && source_->available() >= static_cast<int32_t>(chunk_)) {
    source_->Read(chunk.data(), chunk_);
    int32_t peak = 0;
    for (int32_t v : chunk) peak = std::max(peak, std::abs(v));
    if (peak >= kSilenceLevel) {
      releaseHeld();
      quiet_ = 0;
      ready_.insert(ready_.end(), chunk.begin(), chunk.end());
      continue;
    }
    quiet_ += chunk_;
    const uint32_t ms = framesToMs(quiet_);
    if (ms <= kKeepMs) {
      ready_.insert(ready_.end(), chunk.begin(), chunk.end());
    } else if (ms <= kLongPauseMs) {
      held_.insert(held_.end(), chunk.begin(), chunk.end());
    } else {
      trimmed_ += static_cast<uint32_t>(held_.size() / channels) + chunk_;
      held_.clear();
    }
  }
  // Caught up with the microphone: from here on everything passes unchanged.
  const auto behind = static_cast<int64_t>((ready_.size() + held_.size()) / channels) +
                      std::max(source_->available(), 0);
  if (behind * 1000 <= static_cast<int64_t>(kLiveMs) * rate()) {
    releaseHeld();
    live_ = true;
  }
}

uint32_t PauseTrimmer::Length() {
  pull();
  const auto ready = static_cast<uint32_t>(ready_.size() / channels());
  const uint32_t upstream = live_ ? static_cast<uint32_t>(std::max(source_->available(), 0)) : 0;
  return delivered_ + ready + upstream;
}

bool PauseTrimmer::MoreComing() {
  return !ready_.empty() || !held_.empty() || source_->MoreComing();
}

void PauseTrimmer::Read(int32_t* buffer, uint32_t frames) {
  pull();
  const size_t channels = this->channels();
  const size_t wanted = static_cast<size_t>(frames) * channels;
  const size_t fromReady = std::min(wanted, ready_.size());
  std::copy_n(ready_.begin(), fromReady, buffer);
  ready_.erase(ready_.begin(), ready_.begin() + static_cast<std::ptrdiff_t>(fromReady));
  if (fromReady < wanted) {
    const auto rest = static_cast<uint32_t>((wanted - fromReady) / channels);
    if (live_) {
      source_->Read(buffer + fromReady, rest);
    } else {
      std::fill(buffer + fromReady, buffer + wanted, 0);
    }
  }
  delivered_ += frames;
}

}  // namespace quillet::audio
