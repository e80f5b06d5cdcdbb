// SPDX-License-Identifier: Apache-2.0
// The call-waiting tone's samples and the filter that mixes it into a call's audio.
#include "media/waiting_tone.h"

#include <algorithm>

#include "media/hold_sound.h"

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
  // The first beep is a burst of the period; the second, a beep and a gap later, the same.
  const uint64_t period = uint64_t{rate} * kWaitingTonePeriodMs / 1000;
  const uint64_t step = uint64_t{rate} * (kWaitingBeepMs + kWaitingBeepGapMs) / 1000;
  uint64_t at = period != 0 ? position % period : 0;
  if (at >= step && at < 2 * step) at -= step;
  return toneBurstSample(at, kWaitingToneHz, kWaitingBeepMs, kWaitingTonePeriodMs,
                         kWaitingToneAmplitude, rate);
}

audio::SourceRef MakeWaitingToneMix(audio::SourceRef source, WaitingToneSwitch on) {
  return audio::SourceRef(new WaitingToneMix(std::move(source), std::move(on)));
}

}  // namespace quillet::media
