// SPDX-License-Identifier: Apache-2.0
// The sound a held far end hears: silence or the soft hold tone.
#include "media/hold_sound.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace quillet::media {

int32_t toneBurstSample(uint64_t position, uint32_t hz, uint32_t onMs, uint32_t periodMs,
                        int32_t amplitude, uint32_t rate) {
  const uint64_t period = uint64_t{rate} * periodMs / 1000;
  const uint64_t at = period != 0 ? position % period : 0;
  const uint64_t length = uint64_t{rate} * onMs / 1000;
  if (at >= length) return 0;
  const uint64_t edge = std::min(at, length - 1 - at);
  const uint64_t rampSamples = std::max<uint64_t>(rate / 100, 1);
  const double ramp = edge >= rampSamples ? 1.0 : static_cast<double>(edge) / rampSamples;
  const double phase =
      2.0 * std::numbers::pi * hz * static_cast<double>(at) / static_cast<double>(rate);
  return static_cast<int32_t>(std::lround(amplitude * ramp * std::sin(phase)));
}

int32_t holdSample(HoldSound sound, uint64_t position) {
  if (sound != HoldSound::Tone) return 0;
  return toneBurstSample(position, kHoldToneHz, kHoldToneMs, kHoldTonePeriodMs, kHoldToneAmplitude);
}

}  // namespace quillet::media
