// SPDX-License-Identifier: Apache-2.0
// GSM 06.10 parts shared by encoder and decoder: LAR decoding and interpolation,
// APCM inverse quantisation and the RTP frame's bit layout.
#include "codecs/gsm610.h"
#include "codecs/gsm_arith.h"

namespace quillet::codecs {

namespace gsm {

void decodeLars(const uint8_t* larc, int16_t* larpp) {
  for (int i = 0; i < 8; ++i) {
    int32_t temp = shl(add(larc[i], kLarMic[i]), 10);
    temp = sub(temp, kLarB[i] * 2);
    temp = multR(kLarInvA[i], temp);
    larpp[i] = static_cast<int16_t>(add(temp, temp));
  }
}

void interpolatedRp(const int16_t* larppPrev, const int16_t* larppCur, int range, int32_t* rp) {
  for (int i = 0; i < 8; ++i) {
    const int32_t prev = larppPrev[i];
    const int32_t cur = larppCur[i];
    int32_t larp;
    switch (range) {
      case 0:  // three quarters previous, one quarter current
        larp = add((prev >> 2) + (cur >> 2), prev >> 1);
        break;
      case 1:  // halfway
        larp = add(prev >> 1, cur >> 1);
        break;
      case 2:  // one quarter previous, three quarters current
        larp = add((prev >> 2) + (cur >> 2), cur >> 1);
        break;
      default:
        larp = cur;
        break;
    }
    // LAR to reflection coefficient (piecewise-linear inverse of the LAR curve).
    int32_t temp = absS(larp);
    if (temp < 11059) {
      temp <<= 1;
    } else if (temp < 20070) {
      temp += 11059;
    } else {
      temp = add(temp >> 2, 26112);
    }
    rp[i] = larp < 0 ? -temp : temp;
  }
}

void xmaxcToExpMant(int32_t xmaxc, int32_t& exp, int32_t& mant) {
  exp = xmaxc > 15 ? (xmaxc >> 3) - 1 : 0;
  mant = xmaxc - (exp << 3);
  if (mant == 0) {
    exp = -4;
    mant = 7;
    return;
  }
  while (mant <= 7) {
    mant = mant << 1 | 1;
    --exp;
  }
  mant -= 8;
}

void apcmInverse(const uint8_t* xmc, int32_t exp, int32_t mant, int32_t* xmp) {
  // The inverse mantissas 18432 + 2048 k are exact (the last is 1.0 = 32768).
  const int32_t fac = 18432 + 2048 * mant;
  const int32_t shift = 6 - exp;
  const int32_t rounding = shift > 0 ? 1 << (shift - 1) : 0;
  for (int i = 0; i < 13; ++i) {
    int32_t temp = (xmc[i] << 1) - 7;  // restore the sign
    temp <<= 12;
    temp = (fac * temp + 16384) >> 15;
    temp = add(temp, rounding);
    xmp[i] = temp >> shift;
  }
}

}  // namespace gsm

namespace {

constexpr int kLarBits[8] = {6, 6, 5, 5, 4, 4, 3, 3};

class BitWriter {
 public:
  explicit BitWriter(uint8_t* out) : out_(out) {}
  void put(uint32_t value, int bits) {
    acc_ = (acc_ << bits) | (value & ((1u << bits) - 1));
    count_ += bits;
    while (count_ >= 8) {
      count_ -= 8;
      *out_++ = static_cast<uint8_t>(acc_ >> count_);
    }
  }

 private:
  uint8_t* out_;
  uint32_t acc_ = 0;
  int count_ = 0;
};

class BitReader {
 public:
  explicit BitReader(const uint8_t* in) : in_(in) {}
  uint8_t get(int bits) {
    while (count_ < bits) {
      acc_ = (acc_ << 8) | *in_++;
      count_ += 8;
    }
    count_ -= bits;
    return static_cast<uint8_t>((acc_ >> count_) & ((1u << bits) - 1));
  }

 private:
  const uint8_t* in_;
  uint32_t acc_ = 0;
  int count_ = 0;
};

}  // namespace

void gsmPackFrame(const GsmFrameParams& params, uint8_t* out) {
  BitWriter w(out);
  w.put(0xD, 4);
  for (int i = 0; i < 8; ++i) w.put(params.larc[i], kLarBits[i]);
  for (int j = 0; j < 4; ++j) {
    w.put(params.nc[j], 7);
    w.put(params.bc[j], 2);
    w.put(params.mc[j], 2);
    w.put(params.xmaxc[j], 6);
    for (int i = 0; i < 13; ++i) w.put(params.xmc[j][i], 3);
  }
}

void gsmUnpackFrame(const uint8_t* bytes, GsmFrameParams& params) {
  BitReader r(bytes);
  r.get(4);  // signature, not checked
  for (int i = 0; i < 8; ++i) params.larc[i] = r.get(kLarBits[i]);
  for (int j = 0; j < 4; ++j) {
    params.nc[j] = r.get(7);
    params.bc[j] = r.get(2);
    params.mc[j] = r.get(2);
    params.xmaxc[j] = r.get(6);
    for (int i = 0; i < 13; ++i) params.xmc[j][i] = r.get(3);
  }
}

}  // namespace quillet::codecs
