// SPDX-License-Identifier: Apache-2.0
// GSM 06.10 encoder: preprocessing, LPC analysis, short-term analysis filtering, and
// per sub-frame long-term prediction and RPE encoding.
#include <algorithm>
#include <cstdint>

#include "codecs/gsm610.h"
#include "codecs/gsm_arith.h"

namespace quillet::codecs {

namespace {

using namespace gsm;

// Offset compensation (high-pass with a leak of 1/1024) and pre-emphasis (880/1024)
// of internal samples, scaled to the analysis' range (16-bit linear halved).
void preprocess(GsmEncoderState& st, const int32_t* in, int16_t* s) {
  // 64-bit accumulation keeps samples outside the format's range from overflowing.
  int64_t acc = st.offsetAcc;
  int64_t prevX = st.offsetPrevX;
  int64_t prevY = st.preemphPrevY;
  for (int k = 0; k < kGsmFrameSamples; ++k) {
    const int64_t x = in[k];
    acc += (x - prevX) * 1024;
    const int64_t y = (acc + 512) >> 10;
    acc -= y;
    prevX = x;
    const int64_t emphasized = (y - ((prevY * 880 + 512) >> 10) + 16) >> 5;
    prevY = y;
    // The analysis works on 16 bits; a full-scale square wave would exceed them.
    s[k] = static_cast<int16_t>(std::clamp<int64_t>(emphasized, -32768, 32767));
  }
  st.offsetAcc = static_cast<int32_t>(std::clamp<int64_t>(acc, INT32_MIN, INT32_MAX));
  st.offsetPrevX = static_cast<int32_t>(prevX);
  st.preemphPrevY = static_cast<int32_t>(std::clamp<int64_t>(prevY, INT32_MIN, INT32_MAX));
}

// Autocorrelation of the frame at lags 0 to 8, on a copy scaled so that the sums
// cannot overflow; s itself is scaled down and back as the standard does.
void autocorrelation(int16_t* s, int32_t* lacf) {
  int32_t smax = 0;
  for (int k = 0; k < 160; ++k) smax = std::max(smax, absS(s[k]));
  const int scalauto = smax == 0 ? 0 : 4 - norm(smax << 16);
  if (scalauto > 0) {
    const int32_t factor = 16384 >> (scalauto - 1);
    for (int k = 0; k < 160; ++k) s[k] = static_cast<int16_t>(multR(s[k], factor));
  }
  for (int lag = 0; lag <= 8; ++lag) {
    int32_t sum = 0;
    for (int i = lag; i < 160; ++i) sum += s[i] * s[i - lag];
    lacf[lag] = sum * 2;
  }
  if (scalauto > 0) {
    for (int k = 0; k < 160; ++k) s[k] = static_cast<int16_t>(sat16(s[k] * (1 << scalauto)));
  }
}

// Schur recursion: 8 reflection coefficients from the autocorrelation.
void schur(const int32_t* lacf, int32_t* r) {
  if (lacf[0] == 0) {
    std::fill(r, r + 8, 0);
    return;
  }
  const int temp = norm(lacf[0]);
  int32_t acf[9];
  for (int i = 0; i <= 8; ++i) acf[i] = shl(lacf[i], temp) >> 16;
  int32_t p[9];
  int32_t k[9];
  for (int i = 1; i <= 7; ++i) k[i] = acf[i];
  for (int i = 0; i <= 8; ++i) p[i] = acf[i];
  for (int n = 1; n <= 8; ++n) {
    const int32_t num = absS(p[1]);
    if (p[0] < num) {
      std::fill(r + n - 1, r + 8, 0);
      return;
    }
    // Fractional division num / p[0] to 15 bits (0 <= num <= p[0]).
    int32_t quotient = 0;
    if (num != 0) {
      int32_t rem = num;
      for (int bit = 0; bit < 15; ++bit) {
        quotient <<= 1;
        rem <<= 1;
        if (rem >= p[0]) {
          rem -= p[0];
          ++quotient;
        }
      }
    }
    const int32_t rn = p[1] > 0 ? -quotient : quotient;
    r[n - 1] = rn;
    if (n == 8) return;
    p[0] = add(p[0], multR(p[1], rn));
    for (int m = 1; m <= 8 - n; ++m) {
      p[m] = add(p[m + 1], multR(k[m], rn));
      k[m] = add(k[m], multR(p[m + 1], rn));
    }
  }
}

// Reflection coefficients to quantised and coded log-area ratios.
void reflectionToLarc(const int32_t* r, uint8_t* larc) {
  static constexpr int32_t kA[8] = {20480, 20480, 20480, 20480, 13964, 15360, 8534, 9036};
  static constexpr int32_t kMac[8] = {31, 31, 15, 15, 7, 7, 3, 3};
  for (int i = 0; i < 8; ++i) {
    int32_t temp = absS(r[i]);
    if (temp < 22118) {
      temp >>= 1;
    } else if (temp < 31130) {
      temp -= 11059;
    } else {
      temp = (temp - 26112) << 2;
    }
    const int32_t lar = r[i] < 0 ? -temp : temp;
    int32_t code = mult(kA[i], lar);
    code = add(code, kLarB[i]);
    code = add(code, 256);
    code >>= 9;
    code = std::clamp(code, kLarMic[i], kMac[i]);
    larc[i] = static_cast<uint8_t>(code - kLarMic[i]);
  }
}

// Lattice filter of s in place, giving the short-term residual d.
void shortTermAnalysis(GsmEncoderState& st, const int16_t* larppCur, int16_t* s) {
  int32_t u[8];
  std::copy(st.u.begin(), st.u.end(), u);
  for (int range = 0; range < 4; ++range) {
    int32_t rp[8];
    interpolatedRp(st.larpp.data(), larppCur, range, rp);
    for (int k = kStRanges[range].begin; k < kStRanges[range].end; ++k) {
      int32_t di = s[k];
      int32_t sav = di;
      for (int i = 0; i < 8; ++i) {
        const int32_t ui = u[i];
        u[i] = sav;
        sav = add(ui, multR(rp[i], di));
        di = add(di, multR(rp[i], ui));
      }
      s[k] = static_cast<int16_t>(di);
    }
  }
  std::copy(u, u + 8, st.u.begin());
}

// Long-term predictor lag (40..120) and coded gain for one sub-frame; dp points at the
// sub-frame's place in the residual history (dp[-120..-1] valid).
void ltpParameters(const int16_t* d, const int16_t* dp, int32_t& ncOut, int32_t& bcOut) {
  int32_t dmax = 0;
  for (int k = 0; k < 40; ++k) dmax = std::max(dmax, absS(d[k]));
  const int temp = dmax == 0 ? 0 : norm(dmax << 16);
  const int scal = temp > 6 ? 0 : 6 - temp;
  int16_t wt[40];
  for (int k = 0; k < 40; ++k) wt[k] = static_cast<int16_t>(d[k] >> scal);

  int32_t lmax = 0;
  int32_t nc = 40;
  for (int lambda = 40; lambda <= 120; ++lambda) {
    const int16_t* past = dp - lambda;
    int32_t sum = 0;
    for (int k = 0; k < 40; ++k) sum += wt[k] * past[k];
    if (sum > lmax) {
      nc = lambda;
      lmax = sum;
    }
  }
  ncOut = nc;
  lmax = (lmax * 2) >> (6 - scal);

  int32_t lpower = 0;
  for (int k = 0; k < 40; ++k) {
    const int32_t t = dp[k - nc] >> 3;
    lpower += t * t;
  }
  lpower *= 2;

  if (lmax <= 0) {
    bcOut = 0;
    return;
  }
  if (lmax >= lpower) {
    bcOut = 3;
    return;
  }
  const int shift = norm(lpower);
  const int32_t rr = shl(lmax, shift) >> 16;
  const int32_t ss = shl(lpower, shift) >> 16;
  int32_t bc = 0;
  while (bc <= 2 && rr > mult(ss, kDlb[bc])) ++bc;
  bcOut = bc;
}

// RPE encoding of the long-term residual e[0..39] (e[-5..-1] and e[40..44] are zero):
// weighting filter, grid selection, APCM quantisation; e is replaced by the decoded
// excitation.
void rpeEncode(int16_t* e, uint8_t& xmaxcOut, uint8_t& mcOut, uint8_t* xmc) {
  static constexpr int32_t kH[11] = {-134, -374, 0, 2054, 5741, 8192, 5741, 2054, 0, -374, -134};
  int32_t x[40];
  for (int k = 0; k < 40; ++k) {
    int32_t sum = 4096;  // rounding
    for (int i = 0; i < 11; ++i) sum += e[k + i - 5] * kH[i];
    x[k] = sat16(sum >> 13);
  }

  int32_t em = 0;
  int mc = 0;
  for (int m = 0; m < 4; ++m) {
    int32_t sum = 0;
    for (int i = 0; i < 13; ++i) {
      const int32_t t = x[m + 3 * i] >> 2;
      sum += t * t;
    }
    sum *= 2;
    if (m == 0 || sum > em) {
      mc = m;
      em = sum;
    }
  }
  int32_t xm[13];
  int32_t xmax = 0;
  for (int i = 0; i < 13; ++i) {
    xm[i] = x[mc + 3 * i];
    xmax = std::max(xmax, absS(xm[i]));
  }

  // Block maximum: 3-bit exponent and mantissa.
  int32_t exp = 0;
  int32_t temp = xmax >> 9;
  bool itest = false;
  for (int i = 0; i <= 5; ++i) {
    itest = itest || temp <= 0;
    temp >>= 1;
    if (!itest) ++exp;
  }
  const int32_t xmaxc = add(xmax >> (exp + 5), exp << 3);

  int32_t mant = 0;
  xmaxcToExpMant(xmaxc, exp, mant);
  static constexpr int32_t kNrfac[8] = {29128, 26215, 23832, 21846, 20165, 18725, 17476, 16384};
  const int32_t normShift = 6 - exp;
  for (int i = 0; i < 13; ++i) {
    int32_t q = static_cast<int16_t>(xm[i] << normShift);
    q = mult(q, kNrfac[mant]);
    q >>= 12;
    xmc[i] = static_cast<uint8_t>(q + 4);
  }
  xmaxcOut = static_cast<uint8_t>(xmaxc);
  mcOut = static_cast<uint8_t>(mc);

  int32_t xmp[13];
  apcmInverse(xmc, exp, mant, xmp);
  std::fill(e, e + 40, 0);
  for (int i = 0; i < 13; ++i) e[mc + 3 * i] = static_cast<int16_t>(xmp[i]);
}

}  // namespace

void gsmResetEncoder(GsmEncoderState& state) {
  state = GsmEncoderState{};
}

void gsmEncodeFrame(GsmEncoderState& st, const int32_t* samples, uint8_t* out) {
  int16_t s[160];
  preprocess(st, samples, s);

  GsmFrameParams params{};
  int32_t lacf[9];
  autocorrelation(s, lacf);
  int32_t r[8];
  schur(lacf, r);
  reflectionToLarc(r, params.larc.data());

  int16_t larpp[8];
  decodeLars(params.larc.data(), larpp);
  shortTermAnalysis(st, larpp, s);
  std::copy(larpp, larpp + 8, st.larpp.begin());

  // Residual history followed by this frame's four sub-frames.
  int16_t dp[280];
  std::copy(st.dp.begin(), st.dp.end(), dp);
  for (int j = 0; j < 4; ++j) {
    const int16_t* d = s + 40 * j;
    int16_t* dpj = dp + 120 + 40 * j;
    int32_t nc = 40;
    int32_t bc = 0;
    ltpParameters(d, dpj, nc, bc);
    params.nc[j] = static_cast<uint8_t>(nc);
    params.bc[j] = static_cast<uint8_t>(bc);

    int16_t ebuf[50] = {};
    int16_t* e = ebuf + 5;
    int32_t dpp[40];
    for (int k = 0; k < 40; ++k) {
      dpp[k] = multR(kQlb[bc], dpj[k - nc]);
      e[k] = static_cast<int16_t>(sub(d[k], dpp[k]));
    }
    rpeEncode(e, params.xmaxc[j], params.mc[j], params.xmc[j].data());
    for (int k = 0; k < 40; ++k) dpj[k] = static_cast<int16_t>(add(e[k], dpp[k]));
  }
  std::copy(dp + 160, dp + 280, st.dp.begin());

  gsmPackFrame(params, out);
}

}  // namespace quillet::codecs
