// SPDX-License-Identifier: Apache-2.0
// EchoCanceller: a linear acoustic echo canceller (speexdsp's multi-delay block frequency
// domain adaptive filter) for 8000 or 16000 Hz mono in 20 ms frames. It subtracts from the
// microphone the part of the speaker's signal that the room brings back, which a band gate cannot
// do while both ends talk.
#pragma once

#include <cstdint>

struct SpeexEchoState_;

namespace quillet::audio {

class EchoCanceller {
 public:
  static constexpr uint32_t kRate = 8000;
  static constexpr uint32_t kFrame = 160;  // 20 ms at kRate

  // tailMs: the longest echo path it models (device latencies plus the room's reverberation).
  // rate: 8000 or 16000 Hz (a wideband call); frame and filter cover the same time at both.
  explicit EchoCanceller(uint32_t tailMs, uint32_t rate = kRate);
  ~EchoCanceller();
  EchoCanceller(const EchoCanceller&) = delete;
  EchoCanceller& operator=(const EchoCanceller&) = delete;

  // One frame: the microphone, what the speaker played at the same moment, the microphone
  // with the echo taken out (frame() samples each, 16-bit).
  void process(const int16_t* microphone, const int16_t* speaker, int16_t* out);
  // Forgets the learned echo path (the path changed: another device, a jump in alignment).
  void reset();
  uint32_t rate() const { return rate_; }
  uint32_t frame() const { return rate_ / 50; }

 private:
  friend class NoiseSuppressor;  // ties its residual echo suppression to this state
  uint32_t rate_;
  SpeexEchoState_* state_;
};

}  // namespace quillet::audio
