// SPDX-License-Identifier: Apache-2.0
// Fixed-point primitives and tables shared by the GSM 06.10 encoder and decoder
// (16-bit saturating operations carried out in 32-bit integers).
#pragma once

#include <bit>
#include <cstdint>

namespace quillet::codecs::gsm {

inline int32_t sat16(int32_t v) {
  return v < -32768 ? -32768 : (v > 32767 ? 32767 : v);
}
inline int32_t add(int32_t a, int32_t b) {
  return sat16(a + b);
}
inline int32_t sub(int32_t a, int32_t b) {
  return sat16(a - b);
}
inline int32_t mult(int32_t a, int32_t b) {
  return (a == -32768 && b == -32768) ? 32767 : (a * b) >> 15;
}
inline int32_t multR(int32_t a, int32_t b) {
  return (a == -32768 && b == -32768) ? 32767 : (a * b + 16384) >> 15;
}
inline int32_t absS(int32_t a) {
  return a < 0 ? (a == -32768 ? 32767 : -a) : a;
}
// Left shift with two's-complement wrap (also for negative values).
inline int32_t shl(int32_t a, int n) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) << n);
}
// Left shifts that bring a non-zero 32-bit value to the range of bit 30.
inline int norm(int32_t a) {
  const uint32_t v = static_cast<uint32_t>(a < 0 ? ~a : a);
  return v == 0 ? 31 : std::countl_zero(v) - 1;
}

// Long-term prediction gain levels and their decision thresholds.
inline constexpr int32_t kQlb[4] = {3277, 11469, 21299, 32767};
inline constexpr int32_t kDlb[4] = {6554, 16384, 26214, 32767};

// Decoding of the LARs: the LAR quantiser offsets B, minimum codes MIC and the
// inverse of the quantiser slopes A.
inline constexpr int32_t kLarB[8] = {0, 0, 2048, -2560, 94, -1792, -341, -1144};
inline constexpr int32_t kLarMic[8] = {-32, -32, -16, -16, -8, -8, -4, -4};
inline constexpr int32_t kLarInvA[8] = {13107, 13107, 13107, 13107, 19223, 17476, 31454, 29708};

// Decoded LARs (LARpp) of coded LARs.
void decodeLars(const uint8_t* larc, int16_t* larpp);

// The four sample ranges of a frame with their interpolated reflection coefficients.
struct StRange {
  int begin;
  int end;
};
inline constexpr StRange kStRanges[4] = {{0, 13}, {13, 27}, {27, 40}, {40, 160}};
// Reflection coefficients rp for range r from the previous and current LARpp.
void interpolatedRp(const int16_t* larppPrev, const int16_t* larppCur, int range, int32_t* rp);

// APCM exponent and mantissa of a coded block maximum.
void xmaxcToExpMant(int32_t xmaxc, int32_t& exp, int32_t& mant);
// APCM inverse quantisation of 13 RPE codes.
void apcmInverse(const uint8_t* xmc, int32_t exp, int32_t mant, int32_t* xmp);

}  // namespace quillet::codecs::gsm
