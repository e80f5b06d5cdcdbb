// SPDX-License-Identifier: Apache-2.0
// What the far end of a call held on this side hears instead of the microphone: silence,
// or a soft short tone every few seconds.
#pragma once

#include <cstdint>

namespace quillet::media {

// None: the call is not held here and the microphone goes out.
enum class HoldSound : uint8_t { None, Silence, Tone };

constexpr uint32_t kHoldToneHz = 425;
constexpr uint32_t kHoldToneMs = 300;
constexpr uint32_t kHoldTonePeriodMs = 4000;
// About 30 dB below the program's peak: heard, never loud.
constexpr int32_t kHoldToneAmplitude = 16384;

// The sample at `position` (8000 Hz, counted from the start of the hold) of the sound: the
// tone sounds during the first kHoldToneMs of every period, with 10 ms ramps at its edges.
int32_t holdSample(HoldSound sound, uint64_t position);

// A tone that sounds for the first `onMs` of every `periodMs`, with 10 ms ramps at its edges:
// its sample at `position` (at `rate`). The hold, ringback and call-waiting tones are made of it.
int32_t toneBurstSample(uint64_t position, uint32_t hz, uint32_t onMs, uint32_t periodMs,
                        int32_t amplitude, uint32_t rate = 8000);

}  // namespace quillet::media
