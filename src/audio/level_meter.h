// SPDX-License-Identifier: Apache-2.0
// Level metering: peak and power levels in signed 8-bit dB, the combined microphone level,
// and the dB tables that turn a level into a linear Q24 factor.
#pragma once

#include <cstdint>

namespace quillet::audio {

// Signed dB, -127..127; -127 is silence or "no value".
using LevelDb = int8_t;
constexpr LevelDb kSilenceDb = -127;

// 0 dB is a peak of 131072 internal units (a quarter of full scale).
constexpr int32_t kPeakReference = 131072;
// 0 dB of the power meter: a mean of (x >> 5)² of 8388626.
constexpr uint32_t kPowerReference = 8388626;

// Level of a peak value: 20·log10(peak / 131072) rounded half away from zero, clamped;
// 0 gives -127.
LevelDb peakToLevel(int64_t peak);
// Level of a mean square: 10·log10(mean / 8388626) rounded likewise; 0 gives -127.
LevelDb meanToLevel(uint64_t mean);

// Peak of one channel of an interleaved block: max(highest, -lowest).
int64_t channelPeak(const int32_t* samples, uint32_t frames, uint32_t channels, uint32_t channel);
// Mean over the block's frames of (x >> 5)² for one channel (exact, no overflow).
uint64_t channelMeanSquare(const int32_t* samples, uint32_t frames, uint32_t channels,
                           uint32_t channel);

// Microphone meter, voice switch, AutoGain.
LevelDb peakLevel(const int32_t* samples, uint32_t frames, uint32_t channels, uint32_t channel);
// Speaker meter.
LevelDb powerLevel(const int32_t* samples, uint32_t frames, uint32_t channels, uint32_t channel);
// -127 with no level, the only one with one, the larger of the first two otherwise.
LevelDb combinedLevel(const LevelDb* levels, uint32_t count);

// dB tables, built once: A[L] = round(10^(L/20) × 2^24), P[L] = round(10^(L/10) × 2^24),
// for L = -126..127, limited to 2147483647; L = -127 (and below) gives 0.
int32_t amplitudeFactor(int level);
int32_t powerFactor(int level);

}  // namespace quillet::audio
