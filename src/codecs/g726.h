// SPDX-License-Identifier: Apache-2.0
// G.726 ADPCM at 32 kbit/s on 14-bit linear values: one state per direction, codes
// packed two per byte in either of the two orders in use.
#pragma once

#include <cstdint>

namespace quillet::codecs {

struct G726State {
  int32_t yl;     // locked quantiser scale factor
  int16_t yu;     // unlocked quantiser scale factor
  int16_t dms;    // short-term mean magnitude
  int16_t dml;    // long-term mean magnitude
  int16_t ap;     // speed control
  int16_t a[2];   // pole predictor coefficients
  int16_t b[6];   // zero predictor coefficients
  int16_t pk[2];  // signs of recent partial signal
  int16_t dq[6];  // recent quantised differences, floating form
  int16_t sr[2];  // recent reconstructed signals, floating form
  int16_t td;     // tone detect
};

// Which half of a byte carries the earlier of two codes. RFC 3551 ("G726-32" over RTP)
// puts the earlier sample in the low four bits; ITU-T I.366.2 (AAL2, "AAL2-G726-32")
// puts it in the high four bits.
enum class G726Packing { kRfc3551, kAal2 };

void g726Reset(G726State& state);

// One sample: the 4-bit code of an internal sample, and the internal sample of a code.
int g726EncodeSample(G726State& state, int32_t sample);
int32_t g726DecodeSample(G726State& state, int code);

// count samples -> (count + 1) / 2 bytes (an odd last sample is paired with a zero);
// answers the bytes written.
int g726Encode(G726State& state, G726Packing packing, const int32_t* samples, int count,
               uint8_t* out);
// length bytes -> 2 x length samples; answers the samples written.
int g726Decode(G726State& state, G726Packing packing, const uint8_t* bytes, int length,
               int32_t* out);

}  // namespace quillet::codecs
