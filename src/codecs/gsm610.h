// SPDX-License-Identifier: Apache-2.0
// GSM 06.10 full-rate speech codec (RPE-LTP, 13 kbit/s): 160 internal samples to one
// 33-byte RTP GSM frame and back, with caller-owned encoder and decoder states.
#pragma once

#include <array>
#include <cstdint>

namespace quillet::codecs {

constexpr int kGsmFrameSamples = 160;
constexpr int kGsmFrameBytes = 33;

struct GsmEncoderState {
  int32_t offsetAcc;             // offset compensation: accumulator
  int32_t offsetPrevX;           // offset compensation: previous input
  int32_t preemphPrevY;          // pre-emphasis: previous compensated value
  std::array<int16_t, 8> u;      // short-term analysis filter memory
  std::array<int16_t, 120> dp;   // reconstructed short-term residual history
  std::array<int16_t, 8> larpp;  // previous frame's decoded LARs
};

struct GsmDecoderState {
  std::array<int16_t, 120> drp;  // reconstructed residual history
  std::array<int16_t, 8> v;      // short-term synthesis filter memory
  std::array<int16_t, 8> larpp;  // previous frame's decoded LARs
  int32_t nrp;                   // previous long-term lag
  int32_t deemphPrevOut;         // de-emphasis: previous filter value
};

// The 76 parameters of one frame in their coded form.
struct GsmFrameParams {
  std::array<uint8_t, 8> larc;
  std::array<uint8_t, 4> nc;
  std::array<uint8_t, 4> bc;
  std::array<uint8_t, 4> mc;
  std::array<uint8_t, 4> xmaxc;
  std::array<std::array<uint8_t, 13>, 4> xmc;
};

void gsmResetEncoder(GsmEncoderState& state);
void gsmResetDecoder(GsmDecoderState& state);

// 160 internal samples -> 33 bytes (signature 0xD, then the parameters).
void gsmEncodeFrame(GsmEncoderState& state, const int32_t* samples, uint8_t* out);
// 33 bytes -> 160 internal samples. The signature is not checked.
void gsmDecodeFrame(GsmDecoderState& state, const uint8_t* bytes, int32_t* out);

// Bit layout of the RTP GSM frame: 4 signature bits, then each parameter most
// significant bit first in the standard's order.
void gsmPackFrame(const GsmFrameParams& params, uint8_t* out);
void gsmUnpackFrame(const uint8_t* bytes, GsmFrameParams& params);

}  // namespace quillet::codecs
