// SPDX-License-Identifier: Apache-2.0
// GSM 06.10: the unchecked signature, lag fallback and full-scale input (the bit packing
// and the quality are compared with libgsm in tests/codecs).
#include "codecs/gsm610.h"

#include <gtest/gtest.h>

#include <vector>

#include "codecs/codec_test_signals.h"

namespace quillet::codecs {
namespace {

GsmEncoderState freshEncoder() {
  GsmEncoderState s;
  gsmResetEncoder(s);
  return s;
}

GsmDecoderState freshDecoder() {
  GsmDecoderState s;
  gsmResetDecoder(s);
  return s;
}

TEST(Gsm610, SignatureIsNotChecked) {
  const std::vector<int32_t> in = testing::sine(440.0, 0.3, 160);
  GsmEncoderState enc = freshEncoder();
  uint8_t frame[33];
  gsmEncodeFrame(enc, in.data(), frame);
  uint8_t other[33];
  std::copy(frame, frame + 33, other);
  other[0] = static_cast<uint8_t>((other[0] & 0x0F) | 0x30);
  GsmDecoderState a = freshDecoder();
  GsmDecoderState b = freshDecoder();
  int32_t outA[160];
  int32_t outB[160];
  gsmDecodeFrame(a, frame, outA);
  gsmDecodeFrame(b, other, outB);
  EXPECT_TRUE(std::equal(outA, outA + 160, outB));
}

TEST(Gsm610, InvalidLagsFallBackToThePreviousOne) {
  // A lag outside 40..120 repeats the previous sub-frame's; a reset decoder starts
  // from 40, so a lag of 0 never reads samples not yet written.
  GsmFrameParams p{};
  for (int i = 0; i < 8; ++i) p.larc[i] = 10;
  for (int j = 0; j < 4; ++j) {
    p.bc[j] = 3;
    p.xmaxc[j] = 40;
    for (int i = 0; i < 13; ++i) p.xmc[j][i] = static_cast<uint8_t>((i * 5 + j) % 8);
  }
  GsmFrameParams valid = p;
  GsmFrameParams invalid = p;
  valid.nc = {40, 77, 77, 77};
  invalid.nc = {0, 77, 5, 127};
  uint8_t a[33];
  uint8_t b[33];
  gsmPackFrame(valid, a);
  gsmPackFrame(invalid, b);
  GsmDecoderState da = freshDecoder();
  GsmDecoderState db = freshDecoder();
  int32_t outA[160];
  int32_t outB[160];
  gsmDecodeFrame(da, a, outA);
  gsmDecodeFrame(db, b, outB);
  EXPECT_TRUE(std::equal(outA, outA + 160, outB));
  // The fallback carries over into the next frame: its first lag repeats 77.
  valid.nc = {77, 77, 77, 77};
  gsmPackFrame(valid, a);
  gsmDecodeFrame(da, a, outA);
  gsmDecodeFrame(db, b, outB);
  EXPECT_TRUE(std::equal(outA, outA + 160, outB));
  EXPECT_GT(testing::rms(outA, 160), 0.0);
}

TEST(Gsm610, FullScaleSquareWaveStaysEncodable) {
  // The encoder at its limits (arbitrary frames into the decoder are the fuzz target's).
  GsmEncoderState enc = freshEncoder();
  std::vector<int32_t> square(160);
  for (int i = 0; i < 160; ++i) square[i] = (i / 2) % 2 ? 524272 : -524288;
  uint8_t frame[33];
  for (int f = 0; f < 10; ++f) gsmEncodeFrame(enc, square.data(), frame);
  EXPECT_EQ(frame[0] >> 4, 0xD);
}

}  // namespace
}  // namespace quillet::codecs
