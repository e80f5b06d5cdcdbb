// SPDX-License-Identifier: Apache-2.0
// JitterEstimate: how late the packets of one stream arrive compared with the earliest of
// its recent ones (the last two seconds of voice; ten seconds at most, so that one odd packet
// does not stay for the whole of a quiet stream's call), which sets how far ahead the playout
// keeps its audio.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillet::media {

class JitterEstimate {
 public:
  static constexpr size_t kWindow = 100;        // packets: two seconds of 20 ms frames
  static constexpr uint32_t kMaxAgeMs = 10000;  // older packets leave the window
  static constexpr int32_t kPercentile = 95;

  // A packet of `ssrc` carrying RTP `timestamp` arrived at `nowMs`. A new sender, or a
  // timestamp line that jumps by more than two seconds, starts the window again.
  void arrived(uint32_t ssrc, uint32_t timestamp, uint32_t nowMs);
  void reset() { count_ = 0; }
  // Timestamp units per ms (8 at 8000 Hz; the playout's audio rate / 1000).
  void setUnitsPerMs(uint32_t units) { perMs_ = units == 0 ? 8 : units; }

  bool ready() const { return count_ > 0; }
  // How long the stream has been measured: from the window's first packet to the last, in ms.
  uint32_t measuredMs() const { return lastMs_ - startMs_; }
  // The 95th percentile of lateness over the window, in ms.
  int32_t jitterMs();
  // When the sample with `timestamp` could have arrived at the earliest, on the clock of
  // nowMs × 8 (eighths of a ms, wrapping); meaningful only when ready.
  uint32_t earliestArrival(uint32_t timestamp);

 private:
  void update();

  std::array<int32_t, kWindow> late_{};      // transit of each packet minus reference_
  std::array<uint32_t, kWindow> arrival_{};  // and when it arrived
  uint32_t startMs_ = 0;
  uint32_t lastMs_ = 0;
  size_t next_ = 0;
  size_t count_ = 0;
  uint32_t ssrc_ = 0;
  uint32_t perMs_ = 8;
  uint32_t reference_ = 0;  // transit (arrival × 8 − timestamp) of the window's first packet
  // Window statistics, brought up to date every few packets.
  bool stale_ = true;
  uint32_t sinceUpdate_ = 0;
  uint32_t updatedMs_ = 0;
  int32_t least_ = 0;
  int32_t percentile_ = 0;
};

}  // namespace quillet::media
