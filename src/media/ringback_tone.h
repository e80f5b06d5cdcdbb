// SPDX-License-Identifier: Apache-2.0
// The ringback tone this side plays while a phone call's far end rings and sends no audio
// of its own: 425 Hz for one second in every five, made the way the hold tone is.
#pragma once

#include <cstdint>

#include "audio/audio_stream.h"

namespace quillet::media {

constexpr uint32_t kRingbackHz = 425;
constexpr uint32_t kRingbackOnMs = 1000;
constexpr uint32_t kRingbackPeriodMs = 5000;
// About 18 dB below the program's peak: clearly heard, never loud.
constexpr int32_t kRingbackAmplitude = 65536;

// The sample at `position` (8000 Hz, counted from the start of the ringing), with 10 ms
// ramps at the tone's edges.
int32_t ringbackSample(uint64_t position);

// An endless source of the tone (8000 Hz mono), for the speaker's Player.
audio::SourceRef MakeRingbackSource();

}  // namespace quillet::media
