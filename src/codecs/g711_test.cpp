// SPDX-License-Identifier: Apache-2.0
// G.711: known codes, clipping beyond the 16-bit range and the block forms (every 16-bit
// input is compared with spandsp's coders in tests/codecs).
#include "codecs/g711.h"

#include <gtest/gtest.h>

namespace quillet::codecs {
namespace {

TEST(G711, KnownCodesAndLimits) {
  // A few codes as the Recommendation's tables give them.
  EXPECT_EQ(muLawDecode(0x00), -32124 * 16);
  EXPECT_EQ(muLawDecode(0x7F), 0);
  EXPECT_EQ(aLawDecode(0xD5), 8 * 16);
  EXPECT_EQ(aLawDecode(0xAA), 32256 * 16);
  EXPECT_EQ(muLawEncode(524287), 0x80);
  EXPECT_EQ(aLawEncode(524287), 0xAA);
  // Far outside the format's range: clipped to the last step, no overflow.
  EXPECT_EQ(muLawEncode(INT32_MAX), 0x80);
  EXPECT_EQ(muLawEncode(INT32_MIN), 0x00);
  EXPECT_EQ(aLawEncode(INT32_MAX), 0xAA);
  EXPECT_EQ(aLawEncode(INT32_MIN), 0x2A);
  // Below one 16-bit step the magnitude is 0 on both sides: the signed zero codes
  // (mu-law) and the smallest steps (A-law).
  EXPECT_EQ(muLawEncode(15), 0xFF);
  EXPECT_EQ(muLawEncode(-15), 0x7F);
  EXPECT_EQ(aLawEncode(15), 0xD5);
  EXPECT_EQ(aLawEncode(-15), 0x55);
  // The negative side mirrors the positive one (where spandsp differs by a level).
  for (int32_t x = 1; x <= 32767; ++x) {
    ASSERT_EQ(muLawEncode(-x * 16), muLawEncode(x * 16) ^ 0x80) << x;
    ASSERT_EQ(aLawEncode(-x * 16), aLawEncode(x * 16) ^ 0x80) << x;
  }
}

TEST(G711, BlockFormsMatchAndZeroLengthWritesNothing) {
  const int32_t in[4] = {0, 1000 * 16, -1000 * 16, 31000 * 16};
  uint8_t codes[4];
  muLawEncodeBlock(in, 4, codes);
  int32_t out[5] = {7, 7, 7, 7, 7};
  muLawDecodeBlock(codes, 4, out);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(out[i], muLawDecode(muLawEncode(in[i])));
  EXPECT_EQ(out[4], 7);
  aLawDecodeBlock(codes, 0, out);
  muLawDecodeBlock(codes, 0, out + 4);
  EXPECT_EQ(out[4], 7);
}

}  // namespace
}  // namespace quillet::codecs
