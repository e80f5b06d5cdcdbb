// SPDX-License-Identifier: Apache-2.0
// G.726 at 32 kbit/s: adaptive predictor, scale factor adaptation with speed control,
// adaptive quantiser, tone and transition detection, all in the Recommendation's
// integer arithmetic (floating forms: sign, 4-bit exponent, 6-bit mantissa).
#include "codecs/g726.h"

#include <bit>
#include <cstdlib>

namespace quillet::codecs {

namespace {

constexpr int kQuantizerLevels[7] = {-124, 80, 178, 246, 300, 349, 400};
constexpr int kInverseLog[16] = {-2048, 4,   135, 213, 273, 323, 373, 425,
                                 425,   373, 323, 273, 213, 135, 4,   -2048};
constexpr int kScaleMultiplier[16] = {-12,  18,  41,  64,  112, 198, 355, 1122,
                                      1122, 355, 198, 112, 64,  41,  18,  -12};
constexpr int kSpeedControl[16] = {0,    0,    0,   512, 512, 512, 1536, 3584,
                                   3584, 1536, 512, 512, 512, 0,   0,    0};

// Internal samples arrive as 16-bit x 16; the codec works on 14 bits.
constexpr int32_t kMin14 = -8192;
constexpr int32_t kMax14 = 8191;

// Number of significant bits of a non-negative value, at most 15 (0 for 0): the
// exponent search of the Recommendation over the powers of two up to 2^14.
int bitLength(int value) {
  const int bits = std::bit_width(static_cast<unsigned>(value));
  return bits > 15 ? 15 : bits;
}

// Product of a predictor coefficient (already scaled by 1/4) and a value in floating form.
int fmult(int an, int srn) {
  const int anmag = an > 0 ? an : ((-an) & 0x1FFF);
  const int anexp = bitLength(anmag) - 6;
  const int anmant = anmag == 0 ? 32 : (anexp >= 0 ? anmag >> anexp : anmag << -anexp);
  const int wanexp = anexp + ((srn >> 6) & 0xF) - 13;
  const int wanmant = (anmant * (srn & 0x3F) + 0x30) >> 4;
  const int retval = wanexp >= 0 ? ((wanmant << wanexp) & 0x7FFF) : (wanmant >> -wanexp);
  return (an ^ srn) < 0 ? -retval : retval;
}

// Floating form of a magnitude with a sign: exponent in bits 6..9, mantissa in 0..5, and
// negative values offset by -1024 (so the sign survives in a 16-bit field).
int16_t toFloat(int mag, bool negative) {
  int value;
  if (mag == 0) {
    value = 0x20;
  } else {
    const int exp = bitLength(mag);
    value = (exp << 6) + ((mag << 6) >> exp);
  }
  return static_cast<int16_t>(negative ? value - 0x400 : value);
}

struct Prediction {
  int sez;  // zero predictor part
  int se;   // full signal estimate
};

// The Recommendation's signals are 16-bit two's complement: sums wrap around.
int wrap16(int value) {
  return static_cast<int16_t>(value);
}

Prediction predict(const G726State& s) {
  int sezi = 0;
  for (int i = 0; i < 6; ++i) sezi += fmult(s.b[i] >> 2, s.dq[i]);
  sezi = wrap16(sezi);
  const int sei = wrap16(sezi + fmult(s.a[1] >> 2, s.sr[1]) + fmult(s.a[0] >> 2, s.sr[0]));
  return {sezi >> 1, sei >> 1};
}

int stepSize(const G726State& s) {
  if (s.ap >= 256) return s.yu;
  int y = s.yl >> 6;
  const int dif = s.yu - y;
  const int al = s.ap >> 2;
  if (dif > 0) {
    y += (dif * al) >> 6;
  } else if (dif < 0) {
    y += (dif * al + 0x3F) >> 6;
  }
  return y;
}

int quantize(int d, int y) {
  const int dqm = std::abs(d);
  const int exp = bitLength(dqm >> 1);
  const int mant = ((dqm << 7) >> exp) & 0x7F;
  const int dl = (exp << 7) + mant;
  const int dln = dl - (y >> 2);
  int i = 0;
  while (i < 7 && dln >= kQuantizerLevels[i]) ++i;
  if (d < 0) return 15 - i;
  return i == 0 ? 15 : i;  // a positive zero is sent as the one's complement of 0
}

// Quantised difference in sign-magnitude form (negative: magnitude - 0x8000).
int reconstruct(bool negative, int dqln, int y) {
  const int dql = dqln + (y >> 2);
  if (dql < 0) return negative ? -0x8000 : 0;
  const int dex = (dql >> 7) & 15;
  const int dqt = 128 + (dql & 127);
  const int dq = (dqt << 7) >> (14 - dex);
  return negative ? dq - 0x8000 : dq;
}

void update(G726State& s, int y, int wi, int fi, int dq, int sr, int dqsez) {
  const int pk0 = dqsez < 0 ? 1 : 0;
  const int mag = dq & 0x7FFF;

  // Transition detection.
  const int ylint = s.yl >> 15;
  const int ylfrac = (s.yl >> 10) & 0x1F;
  const int thr1 = (32 + ylfrac) << ylint;
  const int thr2 = ylint > 9 ? 31 << 10 : thr1;
  const int dqthr = (thr2 + (thr2 >> 1)) >> 1;
  const bool tr = s.td != 0 && mag > dqthr;

  // Quantiser scale factor adaptation.
  int yu = y + ((wi - y) >> 5);
  yu = yu < 544 ? 544 : (yu > 5120 ? 5120 : yu);
  s.yu = static_cast<int16_t>(yu);
  s.yl += yu + ((-s.yl) >> 6);

  // Adaptive predictor coefficients.
  int a2p = 0;
  if (tr) {
    s.a[0] = s.a[1] = 0;
    for (int16_t& b : s.b) b = 0;
  } else {
    const int pks1 = pk0 ^ s.pk[0];
    a2p = s.a[1] - (s.a[1] >> 7);
    if (dqsez != 0) {
      const int fa1 = pks1 ? s.a[0] : -s.a[0];
      if (fa1 < -8191) {
        a2p -= 0x100;
      } else if (fa1 > 8191) {
        a2p += 0xFF;
      } else {
        a2p += fa1 >> 5;
      }
      if (pk0 ^ s.pk[1]) {
        if (a2p <= -12160) {
          a2p = -12288;
        } else if (a2p >= 12416) {
          a2p = 12288;
        } else {
          a2p -= 0x80;
        }
      } else if (a2p <= -12416) {
        a2p = -12288;
      } else if (a2p >= 12160) {
        a2p = 12288;
      } else {
        a2p += 0x80;
      }
    }
    s.a[1] = static_cast<int16_t>(a2p);

    int a1 = s.a[0] - (s.a[0] >> 8);
    if (dqsez != 0) a1 += pks1 == 0 ? 192 : -192;
    const int a1ul = 15360 - a2p;
    a1 = a1 < -a1ul ? -a1ul : (a1 > a1ul ? a1ul : a1);
    s.a[0] = static_cast<int16_t>(a1);

    for (int i = 0; i < 6; ++i) {
      int b = s.b[i] - (s.b[i] >> 8);
      if (mag != 0) b += (dq ^ s.dq[i]) >= 0 ? 128 : -128;
      s.b[i] = static_cast<int16_t>(b);
    }
  }

  for (int i = 5; i > 0; --i) s.dq[i] = s.dq[i - 1];
  s.dq[0] = toFloat(mag, dq < 0);

  s.sr[1] = s.sr[0];
  if (sr > -32768) {
    s.sr[0] = toFloat(std::abs(sr), sr < 0);
  } else {
    s.sr[0] = static_cast<int16_t>(0x20 - 0x400);
  }

  s.pk[1] = s.pk[0];
  s.pk[0] = static_cast<int16_t>(pk0);

  // Tone detection.
  s.td = (!tr && a2p < -11776) ? 1 : 0;

  // Adaptation speed control.
  s.dms = static_cast<int16_t>(s.dms + ((fi - s.dms) >> 5));
  s.dml = static_cast<int16_t>(s.dml + (((fi << 2) - s.dml) >> 7));
  int ap = s.ap;
  if (tr) {
    ap = 256;
  } else if (y < 1536 || s.td == 1 || std::abs((s.dms << 2) - s.dml) >= (s.dml >> 3)) {
    ap += (0x200 - ap) >> 4;
  } else {
    ap += (-ap) >> 4;
  }
  s.ap = static_cast<int16_t>(ap);
}

// Shared tail of encoder and decoder: reconstruct, adapt, and answer the reconstructed
// signal sr.
int adapt(G726State& s, int code, const Prediction& p, int y) {
  const int dq = reconstruct((code & 8) != 0, kInverseLog[code], y);
  const int sr = wrap16(dq < 0 ? p.se - (dq & 0x3FFF) : p.se + dq);
  const int dqsez = wrap16(sr + p.sez - p.se);
  update(s, y, kScaleMultiplier[code] * 32, kSpeedControl[code], dq, sr, dqsez);
  return sr;
}

}  // namespace

void g726Reset(G726State& state) {
  state = G726State{};
  state.yl = 34816;
  state.yu = 544;
  for (int16_t& dq : state.dq) dq = 32;
  state.sr[0] = state.sr[1] = 32;
}

int g726EncodeSample(G726State& state, int32_t sample) {
  // The 14-bit input of the algorithm is the 16-bit value without its two low bits (an
  // arithmetic shift, as the reference coders take linear input); rounding instead would
  // send other codes than every other G.726 encoder. Only a sample beyond the internal
  // format could leave 14 bits: it is held at the limits.
  int32_t sl = sample >> 6;
  sl = sl < kMin14 ? kMin14 : (sl > kMax14 ? kMax14 : sl);
  const Prediction p = predict(state);
  const int y = stepSize(state);
  const int code = quantize(wrap16(sl - p.se), y);
  adapt(state, code, p, y);
  return code;
}

int32_t g726DecodeSample(G726State& state, int code) {
  code &= 15;
  const Prediction p = predict(state);
  const int y = stepSize(state);
  int sr = adapt(state, code, p, y);
  // A reconstruction beyond 14 bits (possible on hostile input) is held at the limits
  // of the sample format instead of leaving its range.
  sr = sr < kMin14 ? kMin14 : (sr > kMax14 ? kMax14 : sr);
  return sr * 64;
}

int g726Encode(G726State& state, G726Packing packing, const int32_t* samples, int count,
               uint8_t* out) {
  const int firstShift = packing == G726Packing::kAal2 ? 4 : 0;
  int written = 0;
  for (int i = 0; i < count; i += 2) {
    const int first = g726EncodeSample(state, samples[i]);
    const int second = g726EncodeSample(state, i + 1 < count ? samples[i + 1] : 0);
    out[written++] = static_cast<uint8_t>((first << firstShift) | (second << (4 - firstShift)));
  }
  return written;
}

int g726Decode(G726State& state, G726Packing packing, const uint8_t* bytes, int length,
               int32_t* out) {
  const int firstShift = packing == G726Packing::kAal2 ? 4 : 0;
  int written = 0;
  for (int i = 0; i < length; ++i) {
    out[written++] = g726DecodeSample(state, bytes[i] >> firstShift);
    out[written++] = g726DecodeSample(state, bytes[i] >> (4 - firstShift));
  }
  return written;
}

}  // namespace quillet::codecs
