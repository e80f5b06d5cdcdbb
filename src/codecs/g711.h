// SPDX-License-Identifier: Apache-2.0
// G.711 mu-law and A-law: one sample at a time and in blocks, on the internal sample
// format (16-bit value x 16), computed from segment bases and steps.
#pragma once

#include <cstdint>

namespace quillet::codecs {

// The 8-bit code of one sample. Magnitudes are truncated toward zero (symmetric for
// both signs) and clip to the last step of the last segment.
uint8_t muLawEncode(int32_t sample);
uint8_t aLawEncode(int32_t sample);

// The G.711 reconstruction value of a code, times 16.
int32_t muLawDecode(uint8_t code);
int32_t aLawDecode(uint8_t code);

// Block forms: one byte per sample and one sample per byte. A count <= 0 does nothing.
void muLawEncodeBlock(const int32_t* samples, int count, uint8_t* out);
void aLawEncodeBlock(const int32_t* samples, int count, uint8_t* out);
void muLawDecodeBlock(const uint8_t* bytes, int length, int32_t* out);
void aLawDecodeBlock(const uint8_t* bytes, int length, int32_t* out);

}  // namespace quillet::codecs
