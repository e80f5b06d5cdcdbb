// SPDX-License-Identifier: Apache-2.0
// AutoGain: removes low frequencies (mono) and drives the block peak towards a fixed target
// through a gain table, falling fast and rising slowly.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "audio/audio_stream.h"

namespace quillet::audio {

class AutoGain : public AudioSink {
 public:
  static constexpr uint32_t kMaxFrames = 8192;

  // Takes the downstream's rate and channel count.
  explicit AutoGain(SinkRef downstream);

  // Blocks longer than 8192 frames are processed in pieces.
  void Write(const int32_t* samples, uint32_t frames) override;
  void Seek(uint32_t position) override { down_->Seek(position); }

  int32_t gain() const { return gain_; }
  // The table entry (Q24) for a level.
  int32_t tableEntry(int level) const { return table_[static_cast<size_t>(level + 128)]; }
  int32_t highPassFactor() const { return k_; }

 private:
  void writeBlock(const int32_t* samples, uint32_t frames);

  SinkRef down_;
  std::array<int32_t, 256> table_{};
  int32_t gain_ = 0x1000000;
  uint32_t fastSteps_;
  uint32_t slowSteps_;
  int32_t k_;
  int32_t state_ = 0;
  std::vector<int32_t> work_;
};

}  // namespace quillet::audio
