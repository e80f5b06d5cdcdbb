// G.726-32: reset values, both packing orders, input scaling, silence and a sine through
// a reset pair.
#include "codecs/g726.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "codecs/codec_test_signals.h"

namespace quillet::codecs {
namespace {

G726State fresh() {
  G726State s;
  g726Reset(s);
  return s;
}

TEST(G726, ResetGivesTheStartingValues) {
  G726State s;
  std::memset(&s, 0x5A, sizeof s);
  g726Reset(s);
  EXPECT_EQ(s.yl, 34816);
  EXPECT_EQ(s.yu, 544);
  for (int16_t v : {s.dms, s.dml, s.ap, s.td, s.a[0], s.a[1], s.pk[0], s.pk[1]}) EXPECT_EQ(v, 0);
  for (int16_t v : {s.sr[0], s.sr[1]}) EXPECT_EQ(v, 32);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(s.b[i], 0);
    EXPECT_EQ(s.dq[i], 32);
  }
}

TEST(G726, SilenceEncodesToEightyBytesAndDecodesNearZero) {
  G726State enc = fresh();
  G726State dec = fresh();
  const std::vector<int32_t> zeros(160, 0);
  std::vector<uint8_t> bytes(80);
  EXPECT_EQ(g726Encode(enc, G726Packing::kRfc3551, zeros.data(), 160, bytes.data()), 80);
  std::vector<int32_t> out(160);
  EXPECT_EQ(g726Decode(dec, G726Packing::kRfc3551, bytes.data(), 80, out.data()), 160);
  for (int i = 0; i < 160; ++i) EXPECT_LE(std::abs(out[i]), 16 * 64) << i;
}

TEST(G726, ThePackingsPutTheFirstSampleInOppositeHalves) {
  // RFC 3551: the earlier sample in the low four bits; AAL2: in the high four bits.
  for (G726Packing packing : {G726Packing::kRfc3551, G726Packing::kAal2}) {
    const bool aal2 = packing == G726Packing::kAal2;
    G726State byByte = fresh();
    G726State byCode = fresh();
    const uint8_t byte = 0x70;
    int32_t pair[2];
    ASSERT_EQ(g726Decode(byByte, packing, &byte, 1, pair), 2);
    EXPECT_EQ(pair[0], g726DecodeSample(byCode, aal2 ? 7 : 0));
    EXPECT_EQ(pair[1], g726DecodeSample(byCode, aal2 ? 0 : 7));

    G726State enc = fresh();
    G726State ref = fresh();
    const int32_t in[2] = {8000 * 16, -3000 * 16};
    uint8_t packed;
    ASSERT_EQ(g726Encode(enc, packing, in, 2, &packed), 1);
    const int first = g726EncodeSample(ref, in[0]);
    const int second = g726EncodeSample(ref, in[1]);
    ASSERT_NE(first, second);
    EXPECT_EQ(packed, aal2 ? (first << 4) | second : (second << 4) | first);
  }
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

TEST(G726, SineThroughAResetPairIsReproduced) {
  const std::vector<int32_t> in = testing::sine(1000.0, 0.5, 1600);
  G726State enc = fresh();
  G726State dec = fresh();
  std::vector<uint8_t> bytes(800);
  std::vector<int32_t> out(1600);
  g726Encode(enc, G726Packing::kRfc3551, in.data(), 1600, bytes.data());
  g726Decode(dec, G726Packing::kRfc3551, bytes.data(), 800, out.data());
  // After 5 ms the level is within a few percent and the waveform close.
  const double inLevel = testing::rms(in.data() + 40, 1560);
  const double outLevel = testing::rms(out.data() + 40, 1560);
  EXPECT_NEAR(outLevel / inLevel, 1.0, 0.03);
  EXPECT_GT(testing::snrDb(in, out, 40, 1600), 20.0);
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

TEST(G726, HostileCodesStayInsideTheSampleFormat) {
  // Alternating largest steps drive the predictor hard; output must stay in range.
  G726State dec = fresh();
  for (int i = 0; i < 20000; ++i) {
    const int code = (i * 7919 % 13 < 6) ? 7 : ((i & 1) ? 8 : 7);
    const int32_t v = g726DecodeSample(dec, code);
    ASSERT_GE(v, -524288);
    ASSERT_LE(v, 524272);
  }
}

}  // namespace
}  // namespace quillet::codecs
