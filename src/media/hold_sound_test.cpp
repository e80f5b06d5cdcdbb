// SPDX-License-Identifier: Apache-2.0
#include "media/hold_sound.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace quillet::media {
namespace {

int32_t peak(HoldSound sound, uint64_t from, uint64_t to) {
  int32_t most = 0;
  for (uint64_t i = from; i < to; ++i) most = std::max(most, std::abs(holdSample(sound, i)));
  return most;
}

// The tone sounds softly for its first 300 ms of every 4 s and is silent between; silence
// is silence throughout; the tone starts and ends without a click.
TEST(HoldSound, ToneSoundsSoftlyEveryFourSecondsAndSilenceStaysSilent) {
  for (uint64_t period : {0ull, 32000ull, 320000ull}) {
    const int32_t loud = peak(HoldSound::Tone, period + 80, period + 2320);
    EXPECT_GT(loud, kHoldToneAmplitude * 9 / 10);
    EXPECT_LE(loud, kHoldToneAmplitude);
    EXPECT_EQ(peak(HoldSound::Tone, period + 2400, period + 32000), 0);
  }
  EXPECT_LT(std::abs(holdSample(HoldSound::Tone, 0)), 500);
  EXPECT_LT(std::abs(holdSample(HoldSound::Tone, 2399)), 500);
  EXPECT_EQ(peak(HoldSound::Silence, 0, 64000), 0);
  EXPECT_EQ(peak(HoldSound::None, 0, 64000), 0);
  // About 425 Hz: 34 rising zero crossings in the 80 ms after the ramp.
  int32_t crossings = 0;
  for (uint64_t i = 800; i < 1440; ++i) {
    crossings += holdSample(HoldSound::Tone, i) <= 0 && holdSample(HoldSound::Tone, i + 1) > 0;
  }
  EXPECT_NEAR(crossings, 34, 1);
}

}  // namespace
}  // namespace quillet::media
