// SPDX-License-Identifier: Apache-2.0
// Level metering and the dB tables.
#include "audio/level_meter.h"

#include <gtest/gtest.h>

#include <vector>

#include "audio/audio_stream.h"
#include "audio/test_streams.h"

namespace quillet::audio {
namespace {

TEST(LevelMeter, ReadsSilenceFullScaleAndEachChannelOfABlock) {
  std::vector<int32_t> zeros(160, 0);
  EXPECT_EQ(peakLevel(zeros.data(), 160, 1, 0), kSilenceDb);
  EXPECT_EQ(powerLevel(zeros.data(), 160, 1, 0), kSilenceDb);
  EXPECT_EQ(powerLevel(zeros.data(), 0, 1, 0), kSilenceDb);
  const auto s = teststreams::sine(1000, 8000, 800, kSampleMax);
  EXPECT_EQ(peakLevel(s.data(), 800, 1, 0), 12);
  EXPECT_EQ(powerLevel(s.data(), 800, 1, 0), 12);
  std::vector<int32_t> block = {100, -131072, -300, 0, 250, 5};
  EXPECT_EQ(channelPeak(block.data(), 3, 2, 0), 300);
  EXPECT_EQ(channelPeak(block.data(), 3, 2, 1), 131072);
  EXPECT_EQ(peakLevel(block.data(), 3, 2, 1), 0);
  LevelDb levels[3] = {-20, -3, 40};
  EXPECT_EQ(combinedLevel(levels, 0), kSilenceDb);
  EXPECT_EQ(combinedLevel(levels, 3), -3);  // only the first two count
}

TEST(LevelMeter, RoundsAtTheReferencesAndNeitherMeterNorTableOverflows) {
  EXPECT_EQ(peakToLevel(kPeakReference - 1), 0);  // -0.00007 dB rounds to 0, not -1
  EXPECT_EQ(peakToLevel(kPeakReference / 2), -6);
  EXPECT_EQ(peakToLevel(1), -102);
  EXPECT_EQ(meanToLevel(kPowerReference / 10), -10);
  std::vector<int32_t> block(8192, kSampleMin);
  const uint64_t x =
      static_cast<uint64_t>(kSampleMin >> 5) * static_cast<uint64_t>(kSampleMin >> 5);
  EXPECT_EQ(channelMeanSquare(block.data(), 8192, 1, 0), x);
  EXPECT_EQ(amplitudeFactor(0), 0x1000000);
  EXPECT_EQ(amplitudeFactor(-127), 0);
  EXPECT_EQ(amplitudeFactor(43), 2147483647);  // limited
  EXPECT_EQ(powerFactor(127), 2147483647);
}

}  // namespace
}  // namespace quillet::audio
