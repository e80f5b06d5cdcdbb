// G.711: every 16-bit input against the decision and reconstruction levels of the
// Recommendation's tables, both laws.
#include "codecs/g711.h"

#include <gtest/gtest.h>

#include <vector>

namespace quillet::codecs {
namespace {

// One quantisation interval on the positive side in 16-bit units: inputs with
// magnitude in [lower, upper) get code (segment, mantissa) and reconstruct to value.
struct Interval {
  int lower;
  int upper;
  int segment;
  int mantissa;
  int value;
};

// mu-law, from the table's decision levels in the 14-bit domain (x 4 in 16 bits):
// segment 0 has decision levels 1, 3, ..., 31 (the first interval [0, 1) is the zero
// code), segment s >= 1 starts at 2^(s+5) - 33 with steps of 2^(s+1); the
// reconstruction value is the middle of the interval (0 for the zero code).
std::vector<Interval> muLawIntervals() {
  std::vector<Interval> out;
  for (int m = 0; m < 16; ++m) {
    const int lower = m == 0 ? 0 : 2 * m - 1;
    out.push_back({lower * 4, (2 * m + 1) * 4, 0, m, m == 0 ? 0 : 2 * m * 4});
  }
  for (int s = 1; s < 8; ++s) {
    const int base = (1 << (s + 5)) - 33;
    const int step = 1 << (s + 1);
    for (int m = 0; m < 16; ++m) {
      const int lower = base + m * step;
      out.push_back({lower * 4, (lower + step) * 4, s, m, (lower * 2 + step) * 2});
    }
  }
  out.back().upper = 1 << 20;  // beyond the last decision level: clipped
  return out;
}

// A-law, in the 13-bit domain (x 8 in 16 bits): segments 0 and 1 step 2 from 0 and 32,
// segment s >= 2 starts at 2^(s+4) with steps of 2^s; reconstruction in the middle.
std::vector<Interval> aLawIntervals() {
  std::vector<Interval> out;
  for (int s = 0; s < 8; ++s) {
    const int base = s == 0 ? 0 : (s == 1 ? 32 : 1 << (s + 4));
    const int step = s <= 1 ? 2 : 1 << s;
    for (int m = 0; m < 16; ++m) {
      const int lower = base + m * step;
      out.push_back({lower * 8, (lower + step) * 8, s, m, (lower * 2 + step) * 4});
    }
  }
  out.back().upper = 1 << 20;
  return out;
}

const Interval& find(const std::vector<Interval>& table, int magnitude) {
  for (const Interval& i : table) {
    if (magnitude >= i.lower && magnitude < i.upper) return i;
  }
  ADD_FAILURE() << "no interval for " << magnitude;
  return table.front();
}

// Codes are sign | segment << 4 | mantissa, inverted (mu-law) or XORed with 0x55 (A-law);
// mu-law marks the negative side with the sign bit, A-law the positive side.
TEST(G711, EveryInputGetsTheCodeOfItsIntervalAndDecodesToItsValue) {
  const struct {
    const char* law;
    std::vector<Interval> table;
    uint8_t (*encode)(int32_t);
    int32_t (*decode)(uint8_t);
    int negativeSign;
    int mask;
  } laws[] = {{"mu-law", muLawIntervals(), muLawEncode, muLawDecode, 0x80, 0xFF},
              {"A-law", aLawIntervals(), aLawEncode, aLawDecode, 0x00, 0x55}};
  for (const auto& law : laws) {
    SCOPED_TRACE(law.law);
    for (int x = -32768; x <= 32767; ++x) {
      const Interval& in = find(law.table, x < 0 ? -x : x);
      const int sign = x < 0 ? law.negativeSign : law.negativeSign ^ 0x80;
      const uint8_t code = law.encode(x * 16);
      ASSERT_EQ(code, (sign | (in.segment << 4) | in.mantissa) ^ law.mask) << "input " << x;
      ASSERT_EQ(law.decode(code), (x < 0 ? -in.value : in.value) * 16) << "input " << x;
    }
  }
}

TEST(G711, KnownCodesAndLimits) {
  // A few codes as the Recommendation's tables give them, independent of the model above.
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
