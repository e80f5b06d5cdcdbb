// SPDX-License-Identifier: Apache-2.0
// G.711 mu-law and A-law from per-segment bases and steps (no lookup tables).
#include "codecs/g711.h"

#include <bit>

namespace quillet::codecs {

namespace {

// Magnitude of an internal sample in 16-bit units, truncated toward zero; kept in 32
// bits even for the most negative input.
uint32_t magnitude16(int32_t sample) {
  const uint32_t mag =
      sample < 0 ? 0u - static_cast<uint32_t>(sample) : static_cast<uint32_t>(sample);
  return mag >> 4;
}

}  // namespace

uint8_t muLawEncode(int32_t sample) {
  const uint8_t sign = sample < 0 ? 0x80 : 0x00;
  uint32_t biased = magnitude16(sample);
  biased = biased > 0x10000 ? 0x10000 : biased;  // far beyond the last segment anyway
  biased += 132;
  // Segment = position of the highest set bit above bit 7 (132..255 is segment 0).
  int segment = std::bit_width(biased) - 8;
  segment = segment > 7 ? 7 : segment;
  uint32_t mantissa = (biased >> (segment + 3)) - 16;
  mantissa = mantissa > 15 ? 15 : mantissa;
  return static_cast<uint8_t>(~(sign | (segment << 4) | mantissa));
}

int32_t muLawDecode(uint8_t code) {
  const uint8_t inverted = static_cast<uint8_t>(~code);
  const int segment = (inverted >> 4) & 7;
  const int mantissa = inverted & 15;
  const int32_t mag = ((mantissa * 8 + 132) << segment) - 132;
  return (inverted & 0x80 ? -mag : mag) * 16;
}

uint8_t aLawEncode(int32_t sample) {
  const uint8_t sign = sample < 0 ? 0x00 : 0x80;
  const uint32_t mag = magnitude16(sample);
  // Segment bounds are 0, 256, 512, ... 16384; segment 0 and 1 share the step 16.
  int segment = mag < 256 ? 0 : std::bit_width(mag) - 8;
  segment = segment > 7 ? 7 : segment;
  const uint32_t bound = segment == 0 ? 0 : 128u << segment;
  const int stepShift = segment == 0 ? 4 : segment + 3;
  uint32_t mantissa = (mag - bound) >> stepShift;
  mantissa = mantissa > 15 ? 15 : mantissa;
  return static_cast<uint8_t>((sign | (segment << 4) | mantissa) ^ 0x55);
}

int32_t aLawDecode(uint8_t code) {
  const uint8_t plain = code ^ 0x55;
  const int segment = (plain >> 4) & 7;
  const int mantissa = plain & 15;
  int32_t mag;
  if (segment == 0) {
    mag = 8 + 16 * mantissa;
  } else {
    mag = (264 + 16 * mantissa) << (segment - 1);
  }
  return (plain & 0x80 ? mag : -mag) * 16;
}

void muLawEncodeBlock(const int32_t* samples, int count, uint8_t* out) {
  for (int i = 0; i < count; ++i) out[i] = muLawEncode(samples[i]);
}

void aLawEncodeBlock(const int32_t* samples, int count, uint8_t* out) {
  for (int i = 0; i < count; ++i) out[i] = aLawEncode(samples[i]);
}

void muLawDecodeBlock(const uint8_t* bytes, int length, int32_t* out) {
  for (int i = 0; i < length; ++i) out[i] = muLawDecode(bytes[i]);
}

void aLawDecodeBlock(const uint8_t* bytes, int length, int32_t* out) {
  for (int i = 0; i < length; ++i) out[i] = aLawDecode(bytes[i]);
}

}  // namespace quillet::codecs
