// SPDX-License-Identifier: Apache-2.0
// GSM 06.10 decoder: RPE decoding, long-term synthesis, short-term synthesis with LAR
// interpolation, and de-emphasis into the internal sample format.
#include <algorithm>
#include <cstdint>

#include "codecs/audio_codec.h"
#include "codecs/gsm610.h"
#include "codecs/gsm_arith.h"

namespace quillet::codecs {

namespace {

using namespace gsm;

// Decoded excitation of one sub-frame.
void rpeDecode(uint8_t xmaxc, uint8_t mc, const uint8_t* xmc, int16_t* erp) {
  int32_t exp = 0;
  int32_t mant = 0;
  xmaxcToExpMant(xmaxc, exp, mant);
  int32_t xmp[13];
  apcmInverse(xmc, exp, mant, xmp);
  std::fill(erp, erp + 40, 0);
  for (int i = 0; i < 13; ++i) erp[mc + 3 * i] = static_cast<int16_t>(xmp[i]);
}

}  // namespace

void gsmResetDecoder(GsmDecoderState& state) {
  state = GsmDecoderState{};
  // The lag used when a frame carries an invalid one: the smallest valid lag, since a
  // lag of 0 would read the samples about to be written.
  state.nrp = 40;
}

void gsmDecodeFrame(GsmDecoderState& st, const uint8_t* bytes, int32_t* out) {
  GsmFrameParams params;
  gsmUnpackFrame(bytes, params);

  // Long-term synthesis into the residual history, one sub-frame after the other.
  int16_t drp[280];
  std::copy(st.drp.begin(), st.drp.end(), drp);
  for (int j = 0; j < 4; ++j) {
    int16_t erp[40];
    rpeDecode(params.xmaxc[j], params.mc[j], params.xmc[j].data(), erp);
    const int32_t ncr = params.nc[j];
    const int32_t nr = (ncr < 40 || ncr > 120) ? st.nrp : ncr;
    st.nrp = nr;
    const int32_t brp = kQlb[params.bc[j]];
    int16_t* cur = drp + 120 + 40 * j;
    for (int k = 0; k < 40; ++k) {
      cur[k] = static_cast<int16_t>(add(erp[k], multR(brp, cur[k - nr])));
    }
  }
  std::copy(drp + 160, drp + 280, st.drp.begin());

  // Short-term synthesis filter over the frame's residual drp[120..279].
  int16_t larpp[8];
  decodeLars(params.larc.data(), larpp);
  int32_t v[8];
  std::copy(st.v.begin(), st.v.end(), v);
  int32_t prevOut = st.deemphPrevOut;
  const int16_t* wt = drp + 120;
  for (int range = 0; range < 4; ++range) {
    int32_t rrp[8];
    interpolatedRp(st.larpp.data(), larpp, range, rrp);
    for (int k = kStRanges[range].begin; k < kStRanges[range].end; ++k) {
      int32_t sri = wt[k];
      for (int i = 7; i >= 0; --i) {
        sri = sub(sri, multR(rrp[i], v[i]));
        if (i < 7) v[i + 1] = add(v[i], multR(rrp[i], sri));
      }
      v[0] = sri;
      // De-emphasis (880/1024) straight into the internal format. The filter keeps up
      // to twice full scale, so that an overshoot is clipped at the output but does not
      // distort what follows; the limit also keeps hostile frames from overflowing it.
      prevOut =
          std::clamp(((prevOut * 880 + 512) >> 10) + sri * 32, 2 * kSampleMin, 2 * kSampleMax);
      out[k] = std::clamp(prevOut, kSampleMin, kSampleMax);
    }
  }
  std::copy(v, v + 8, st.v.begin());
  std::copy(larpp, larpp + 8, st.larpp.begin());
  st.deemphPrevOut = prevOut;
}

}  // namespace quillet::codecs
