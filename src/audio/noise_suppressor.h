// SPDX-License-Identifier: Apache-2.0
// NoiseSuppressor: speexdsp's preprocessor as the microphone's noise suppression (8000 Hz
// mono, 20 ms frames), tied to the echo canceller when there is one so that it also takes
// out the echo the canceller leaves; NoiseSuppressingSink runs it as a stage of its own.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "audio/audio_stream.h"

struct SpeexPreprocessState_;

namespace quillet::audio {

class EchoCanceller;

class NoiseSuppressor {
 public:
  static constexpr uint32_t kRate = 8000;
  static constexpr uint32_t kFrame = 160;  // 20 ms, the canceller's frame
  // The most a steady noise is taken down by (dB): a fan at -40 dBFS goes below the
  // noise floor of a quiet room.
  static constexpr int kNoiseDb = -25;

  // canceller: the canceller whose output this suppressor gets, frame by frame after its
  // process(); while followEcho is on, the echo it estimates it left is suppressed too.
  // The preprocessor's own gain control and voice detection stay off: AutoGain comes after.
  // rate: 8000 or 16000 Hz (a wideband call); frames are 20 ms at it.
  explicit NoiseSuppressor(const EchoCanceller* canceller = nullptr, uint32_t rate = kRate);
  ~NoiseSuppressor();
  NoiseSuppressor(const NoiseSuppressor&) = delete;
  NoiseSuppressor& operator=(const NoiseSuppressor&) = delete;

  // Whether the canceller's estimate of the echo it left is taken out (while the far end's
  // sound can echo): with the far end silent it would only cost the near end's words.
  void followEcho(bool on);
  uint32_t frame() const { return frame_; }
  // One frame of frame() samples of the streams (16-bit values times 16), in place. What
  // comes out is the frame before: the preprocessor's window spans two frames, so the
  // sound is one frame (20 ms) late.
  void process(int32_t* frame);

 private:
  uint32_t frame_;
  SpeexPreprocessState_* state_;
  const EchoCanceller* canceller_;
  std::vector<int16_t> pcm_;
  bool followingEcho_ = false;
};

// The suppressor in front of `downstream` (8000 or 16000 Hz mono): gathers the samples into frames
// and writes each frame on once it is full (whole frames, as the capture gives them, wait
// for nothing more than the suppressor's own frame of delay).
class NoiseSuppressingSink : public AudioSink {
 public:
  // rate: 8000 or 16000 Hz; 0 takes the downstream's.
  explicit NoiseSuppressingSink(SinkRef downstream, uint32_t rate = 0);

  void Write(const int32_t* samples, uint32_t frames) override;
  void Seek(uint32_t position) override;

  void setDownstream(SinkRef sink) { down_ = std::move(sink); }

 private:
  SinkRef down_;
  NoiseSuppressor suppressor_;
  std::vector<int32_t> frame_;
  uint32_t fill_ = 0;
};

}  // namespace quillet::audio
