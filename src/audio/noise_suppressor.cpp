// SPDX-License-Identifier: Apache-2.0
// The speexdsp preprocessor behind NoiseSuppressor, and its sink stage.
#include "audio/noise_suppressor.h"

#include <speex/speex_preprocess.h>

#include <algorithm>

#include "audio/echo_canceller.h"

namespace quillet::audio {

NoiseSuppressor::NoiseSuppressor(const EchoCanceller* canceller, uint32_t rate)
    : frame_((rate == 16000 ? rate : kRate) / 50),
      state_(speex_preprocess_state_init(static_cast<int>(frame_), static_cast<int>(frame_ * 50))),
      canceller_(canceller),
      pcm_(frame_) {
  int on = 1;
  int off = 0;
  int noiseDb = kNoiseDb;
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_DENOISE, &on);
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &noiseDb);
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_AGC, &off);
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_DEREVERB, &off);
  // Its voice detection is off from the start; setting it only logs a warning.
}

void NoiseSuppressor::followEcho(bool on) {
  if (canceller_ == nullptr || on == followingEcho_) return;
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_ECHO_STATE, on ? canceller_->state_ : nullptr);
  followingEcho_ = on;
}

NoiseSuppressor::~NoiseSuppressor() {
  speex_preprocess_state_destroy(state_);
}

void NoiseSuppressor::process(int32_t* frame) {
  for (uint32_t i = 0; i < frame_; ++i)
    pcm_[i] = static_cast<int16_t>(std::clamp((frame[i] + 8) >> 4, -32768, 32767));
  speex_preprocess_run(state_, pcm_.data());
  for (uint32_t i = 0; i < frame_; ++i) frame[i] = int32_t{pcm_[i]} * 16;
}

NoiseSuppressingSink::NoiseSuppressingSink(SinkRef downstream, uint32_t rate)
    : AudioSink((rate != 0 ? rate : downstream->rate()) == 16000 ? 16000 : NoiseSuppressor::kRate,
                1),
      down_(std::move(downstream)),
      suppressor_(nullptr, AudioSink::rate()),
      frame_(suppressor_.frame()) {}

void NoiseSuppressingSink::Write(const int32_t* samples, uint32_t frames) {
  position_ += frames;
  while (frames > 0) {
    const uint32_t size = suppressor_.frame();
    const uint32_t n = std::min(frames, size - fill_);
    std::copy_n(samples, n, frame_.begin() + fill_);
    fill_ += n;
    samples += n;
    frames -= n;
    if (fill_ == size) {
      suppressor_.process(frame_.data());
      down_->Write(frame_.data(), size);
      fill_ = 0;
    }
  }
}

// A partial frame from before the jump is dropped.
void NoiseSuppressingSink::Seek(uint32_t position) {
  position_ = position;
  fill_ = 0;
  down_->Seek(position);
}

}  // namespace quillet::audio
