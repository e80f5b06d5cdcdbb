// SPDX-License-Identifier: Apache-2.0
// JitterEstimate: the window of packet transit times and its least value and percentile.
#include "media/jitter_estimate.h"

#include <algorithm>
#include <cstdlib>

namespace quillet::media {

namespace {
constexpr int32_t kJumpMs = 2000;     // a timestamp line that jumps this far restarts
constexpr uint32_t kUpdateEvery = 8;  // packets between updates of the statistics ...
constexpr uint32_t kUpdateMs = 200;   // ... or this long, for a stream of few packets
}  // namespace

void JitterEstimate::arrived(uint32_t ssrc, uint32_t timestamp, uint32_t nowMs) {
  const uint32_t transit = nowMs * perMs_ - timestamp;
  if (count_ > 0 && ssrc != ssrc_) count_ = 0;
  if (count_ > 0) {
    update();
    if (std::abs(static_cast<int32_t>(transit - reference_) - least_) >
        kJumpMs * static_cast<int32_t>(perMs_)) {
      count_ = 0;
    }
  }
  if (count_ == 0) {
    ssrc_ = ssrc;
    reference_ = transit;
    next_ = 0;
    stale_ = true;
    startMs_ = nowMs;
  }
  late_[next_] = static_cast<int32_t>(transit - reference_);
  arrival_[next_] = nowMs;
  lastMs_ = nowMs;
  next_ = (next_ + 1) % kWindow;
  count_ = std::min(count_ + 1, kWindow);
  if (++sinceUpdate_ >= kUpdateEvery || count_ < kWindow || nowMs - updatedMs_ >= kUpdateMs) {
    stale_ = true;
  }
}

void JitterEstimate::update() {
  if (!stale_) return;
  stale_ = false;
  sinceUpdate_ = 0;
  updatedMs_ = lastMs_;
  std::array<int32_t, kWindow> sorted;
  size_t kept = 0;
  for (size_t i = 0; i < count_; ++i) {
    if (lastMs_ - arrival_[i] <= kMaxAgeMs) sorted[kept++] = late_[i];
  }
  auto end = sorted.begin() + static_cast<std::ptrdiff_t>(kept);  // the last packet is kept
  least_ = *std::min_element(sorted.begin(), end);
  auto rank = static_cast<std::ptrdiff_t>((kept - 1) * kPercentile / 100);
  std::nth_element(sorted.begin(), sorted.begin() + rank, end);
  percentile_ = sorted[static_cast<size_t>(rank)];
}

int32_t JitterEstimate::jitterMs() {
  if (count_ == 0) return 0;
  update();
  return (percentile_ - least_) / static_cast<int32_t>(perMs_);
}

uint32_t JitterEstimate::earliestArrival(uint32_t timestamp) {
  update();
  return timestamp + reference_ + static_cast<uint32_t>(least_);
}

}  // namespace quillet::media
