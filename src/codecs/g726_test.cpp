// G.726-32: the input scaling and odd counts (the codes are compared bit by bit with
// spandsp in tests/codecs, and each packing's byte order with ffmpeg's decoders there).
#include "codecs/g726.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "codecs/codec_test_signals.h"

namespace quillet::codecs {
namespace {

G726State fresh() {
  G726State s;
  g726Reset(s);
  return s;
}

TEST(G726, TheEncoderSeesOnlyTheTopFourteenBits) {
  // Like every other G.726 coder of linear input, the two low bits of a 16-bit sample
  // are dropped, not rounded: samples that differ only there give the same codes.
  const std::vector<int32_t> sine = testing::sine(440.0, 0.3, 800);
  std::vector<int32_t> low(sine.size());
  std::vector<int32_t> high(sine.size());
  for (size_t i = 0; i < sine.size(); ++i) {
    const int32_t top = (sine[i] >> 6) * 64;  // 16-bit value with the two low bits clear
    low[i] = top;
    high[i] = top + 3 * 16 + 15;  // two low bits set, and every internal fraction
  }
  G726State a = fresh();
  G726State b = fresh();
  std::vector<uint8_t> fromLow(400);
  std::vector<uint8_t> fromHigh(400);
  g726Encode(a, G726Packing::kRfc3551, low.data(), 800, fromLow.data());
  g726Encode(b, G726Packing::kRfc3551, high.data(), 800, fromHigh.data());
  EXPECT_EQ(fromLow, fromHigh);
}

TEST(G726, OddCountPairsTheLastSampleWithZero) {
  G726State a = fresh();
  G726State b = fresh();
  const int32_t in[4] = {1000 * 16, 2000 * 16, 3000 * 16, 0};
  uint8_t odd[2];
  uint8_t even[2];
  EXPECT_EQ(g726Encode(a, G726Packing::kAal2, in, 3, odd), 2);
  EXPECT_EQ(g726Encode(b, G726Packing::kAal2, in, 4, even), 2);
  EXPECT_TRUE(std::equal(odd, odd + 2, even));
}

}  // namespace
}  // namespace quillet::codecs
