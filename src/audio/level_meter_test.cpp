// Level metering and the dB tables.
#include "audio/level_meter.h"

#include <gtest/gtest.h>

#include <vector>

#include "audio/audio_stream.h"
#include "audio/test_streams.h"

namespace quillet::audio {
namespace {

TEST(LevelMeter, SilentBlockReadsSilenceOnBothMeters) {
  std::vector<int32_t> zeros(160, 0);
  EXPECT_EQ(peakLevel(zeros.data(), 160, 1, 0), kSilenceDb);
  EXPECT_EQ(powerLevel(zeros.data(), 160, 1, 0), kSilenceDb);
  EXPECT_EQ(powerLevel(zeros.data(), 0, 1, 0), kSilenceDb);
}

TEST(LevelMeter, FullScaleSineReadsTwelveDbOnBothMeters) {
  const auto s = teststreams::sine(1000, 8000, 800, kSampleMax);
  EXPECT_EQ(peakLevel(s.data(), 800, 1, 0), 12);
  EXPECT_EQ(powerLevel(s.data(), 800, 1, 0), 12);
}

TEST(LevelMeter, PeakRoundsHalfAwayFromZeroAroundTheReference) {
  EXPECT_EQ(peakToLevel(kPeakReference), 0);
  EXPECT_EQ(peakToLevel(kPeakReference - 1), 0);   // -0.00007 dB - 0.5 → 0
  EXPECT_EQ(peakToLevel(kPeakReference / 2), -6);  // -6.02 dB
  EXPECT_EQ(peakToLevel(static_cast<int64_t>(kPeakReference) * 2), 6);
  EXPECT_EQ(peakToLevel(1), -102);  // -102.35 dB
}

TEST(LevelMeter, MeanSquareAtTheReferenceReadsZero) {
  EXPECT_EQ(meanToLevel(kPowerReference), 0);
  EXPECT_EQ(meanToLevel(kPowerReference / 10), -10);
  EXPECT_EQ(meanToLevel(kPowerReference * 10ull), 10);
}

TEST(LevelMeter, MeasuresEachChannelOfAnInterleavedBlock) {
  std::vector<int32_t> block = {100, -131072, -300, 0, 250, 5};
  EXPECT_EQ(channelPeak(block.data(), 3, 2, 0), 300);
  EXPECT_EQ(channelPeak(block.data(), 3, 2, 1), 131072);
  EXPECT_EQ(peakLevel(block.data(), 3, 2, 1), 0);
  LevelDb levels[3] = {-20, -3, 40};
  EXPECT_EQ(combinedLevel(levels, 0), kSilenceDb);
  EXPECT_EQ(combinedLevel(levels, 1), -20);
  EXPECT_EQ(combinedLevel(levels, 3), -3);  // only the first two count
}

TEST(LevelMeter, MeanSquareOfFullScaleLongBlockDoesNotOverflow) {
  std::vector<int32_t> block(8192, kSampleMin);
  const uint64_t x =
      static_cast<uint64_t>(kSampleMin >> 5) * static_cast<uint64_t>(kSampleMin >> 5);
  EXPECT_EQ(channelMeanSquare(block.data(), 8192, 1, 0), x);
}

TEST(DbTables, HoldTheRoundedFactorsAndLimits) {
  EXPECT_EQ(amplitudeFactor(0), 0x1000000);
  EXPECT_EQ(powerFactor(0), 0x1000000);
  EXPECT_EQ(amplitudeFactor(-127), 0);
  EXPECT_EQ(powerFactor(-127), 0);
  EXPECT_EQ(amplitudeFactor(6), 33474947);  // round(10^0.3 × 2^24)
  EXPECT_EQ(powerFactor(3), 33474947);
  EXPECT_EQ(amplitudeFactor(-126), 8);      // round(10^-6.3 × 2^24) = 8.4 → 8
  EXPECT_EQ(powerFactor(127), 2147483647);  // limited
  EXPECT_EQ(amplitudeFactor(42), 2112126356);
  EXPECT_EQ(amplitudeFactor(43), 2147483647);
}

}  // namespace
}  // namespace quillet::audio
