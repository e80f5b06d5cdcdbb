// SPDX-License-Identifier: Apache-2.0
// G.726-32: the input scaling and odd counts (the codes are compared bit by bit with
// spandsp in tests/codecs, and each packing's byte order with ffmpeg's decoders there).
#include "codecs/g726.h"

#include <gtest/gtest.h>

#include <vector>

#include "codecs/codec_test_signals.h"

namespace quillet::codecs {
namespace {

std::vector<uint8_t> encoded(G726Packing packing, const std::vector<int32_t>& in, int count) {
  G726State state;
  g726Reset(state);
  std::vector<uint8_t> out((count + 1) / 2);
  EXPECT_EQ(g726Encode(state, packing, in.data(), count, out.data()), (count + 1) / 2);
  return out;
}

TEST(G726, EncoderDropsTheLowBitsAndPairsAnOddLastSampleWithZero) {
  // Like every other G.726 coder of linear input, the two low bits of a 16-bit sample
  // (and the internal fraction below them) are dropped, not rounded.
  const std::vector<int32_t> sine = testing::sine(440.0, 0.3, 800);
  std::vector<int32_t> low(sine.size());
  std::vector<int32_t> high(sine.size());
  for (size_t i = 0; i < sine.size(); ++i) {
    low[i] = (sine[i] >> 6) * 64;
    high[i] = low[i] + 3 * 16 + 15;
  }
  EXPECT_EQ(encoded(G726Packing::kRfc3551, low, 800), encoded(G726Packing::kRfc3551, high, 800));
  const std::vector<int32_t> in = {1000 * 16, 2000 * 16, 3000 * 16, 0};
  EXPECT_EQ(encoded(G726Packing::kAal2, in, 3), encoded(G726Packing::kAal2, in, 4));
}

}  // namespace
}  // namespace quillet::codecs
