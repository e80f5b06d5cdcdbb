// SPDX-License-Identifier: Apache-2.0
// PauseTrimmer: a source filter that lets a backlog of speech catch up with the live
// microphone by shortening its long pauses, and passes everything on unchanged once it has.
#pragma once

#include <cstdint>
#include <deque>

#include "audio/audio_stream.h"

namespace quillet::audio {

class PauseTrimmer : public SourceFilter {
 public:
  static constexpr uint32_t kKeepMs = 150;        // a long pause is cut to this ...
  static constexpr uint32_t kLongPauseMs = 300;   // ... when it lasts longer than this
  static constexpr int32_t kSilenceLevel = 4096;  // peak below which 10 ms count as quiet
  static constexpr uint32_t kLiveMs = 20;         // at most this much behind: live

  explicit PauseTrimmer(SourceRef source);

  void Read(int32_t* buffer, uint32_t frames) override;
  uint32_t Position() override { return delivered_; }
  uint32_t Length() override;
  void Seek(uint32_t /*frame*/) override {}
  bool MoreComing() override;

  bool live() const { return live_; }
  uint32_t trimmedFrames() const { return trimmed_; }

 private:
  // Takes what the wrapped source holds in 10 ms chunks, keeping, holding back or dropping
  // each, until enough is ready or it has caught up.
  void pull();
  void releaseHeld();

  uint32_t chunk_;  // frames in 10 ms
  bool live_ = false;
  uint32_t delivered_ = 0;
  uint32_t trimmed_ = 0;
  uint32_t quiet_ = 0;         // frames of the current pause seen so far
  std::deque<int32_t> ready_;  // samples to deliver
  std::deque<int32_t> held_;   // a pause's samples beyond the kept part, not yet judged
};

}  // namespace quillet::audio
