// SPDX-License-Identifier: Apache-2.0
// The call-waiting tone's samples and the filter that mixes it into a call's audio.
#include "media/waiting_tone.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace quillet::media {

namespace {

class WaitingToneMix : public audio::SourceFilter {
 public:
  WaitingToneMix(audio::SourceRef source, WaitingToneSwitch on)
      : SourceFilter(std::move(source)), on_(std::move(on)) {}

  void Read(int32_t* buffer, uint32_t frames) override {
    source_->Read(buffer, frames);
    if (!on_->load()) {
      position_ = 0;
      return;
    }
    const uint32_t channels = channels_;
    for (uint32_t frame = 0; frame < frames; ++frame) {
      const int32_t tone = waitingToneSample(position_++, rate_);
      for (uint32_t channel = 0; channel < channels; ++channel) {
        int32_t& sample = buffer[frame * channels + channel];
        sample = std::clamp(sample + tone, -peakRange_, peakRange_);
      }
    }
  }

 private:
  WaitingToneSwitch on_;
  uint64_t position_ = 0;
};

}  // namespace

int32_t waitingToneSample(uint64_t position, uint32_t rate) {
  const uint64_t period = uint64_t{rate} * kWaitingTonePeriodMs / 1000;
  const uint64_t beep = uint64_t{rate} * kWaitingBeepMs / 1000;
  const uint64_t step = beep + uint64_t{rate} * kWaitingBeepGapMs / 1000;
  uint64_t at = period != 0 ? position % period : 0;
  if (at >= step && at < 2 * step) at -= step;  // the second beep
  if (at >= beep) return 0;
  const uint64_t edge = std::min(at, beep - 1 - at);
  const uint64_t rampLength = std::max<uint64_t>(rate / 100, 1);
  const double ramp = edge >= rampLength ? 1.0 : static_cast<double>(edge) / rampLength;
  const double phase = 2.0 * std::numbers::pi * kWaitingToneHz * static_cast<double>(at) / rate;
  return static_cast<int32_t>(std::lround(kWaitingToneAmplitude * ramp * std::sin(phase)));
}

audio::SourceRef MakeWaitingToneMix(audio::SourceRef source, WaitingToneSwitch on) {
  return audio::SourceRef(new WaitingToneMix(std::move(source), std::move(on)));
}

}  // namespace quillet::media
