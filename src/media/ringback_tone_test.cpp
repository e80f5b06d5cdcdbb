// SPDX-License-Identifier: Apache-2.0
// Tests of the ringback tone: one second of 425 Hz in every five, and its source.
#include "media/ringback_tone.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace quillet::media {
namespace {

TEST(RingbackTone, SoundsOneSecondOfFiveAt425Hz) {
  auto source = MakeRingbackSource();
  std::vector<int32_t> samples(8000 * 10);
  source->Read(samples.data(), 4000);  // in two reads: the source keeps its place
  source->Read(samples.data() + 4000, static_cast<uint32_t>(samples.size() - 4000));
  EXPECT_GT(source->available(), 0);
  for (int period = 0; period < 2; ++period) {
    const size_t start = static_cast<size_t>(period) * 40000;
    int crossings = 0;
    int32_t loudest = 0;
    for (size_t i = start + 1; i < start + 8000; ++i) {
      crossings += (samples[i - 1] < 0) != (samples[i] < 0);
      loudest = std::max(loudest, std::abs(samples[i]));
    }
    EXPECT_NEAR(crossings, 2 * 425, 4);
    EXPECT_NEAR(loudest, kRingbackAmplitude, kRingbackAmplitude / 50);
    for (size_t i = start + 8000; i < start + 40000; ++i) ASSERT_EQ(samples[i], 0) << i;
  }
  // Soft edges: no click at the start or the end of the tone.
  EXPECT_LT(std::abs(ringbackSample(1)), kRingbackAmplitude / 20);
  EXPECT_LT(std::abs(ringbackSample(7998)), kRingbackAmplitude / 20);
}

}  // namespace
}  // namespace quillet::media
