// SPDX-License-Identifier: Apache-2.0
// The call-waiting tone: two short quiet 440 Hz beeps every few seconds, mixed into the
// speaker's call audio while a second call waits to be answered.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/audio_stream.h"

namespace quillet::media {

constexpr uint32_t kWaitingToneHz = 440;
constexpr uint32_t kWaitingBeepMs = 150;
constexpr uint32_t kWaitingBeepGapMs = 150;
constexpr uint32_t kWaitingTonePeriodMs = 4000;
// About 30 dB below the program's peak, as the hold tone: heard over the call, never loud.
constexpr int32_t kWaitingToneAmplitude = 16384;

// The tone's sample at `position` (counted at `rate` from the moment it was turned on):
// a beep, a gap, a beep, then quiet until the period ends; 10 ms ramps at each edge.
int32_t waitingToneSample(uint64_t position, uint32_t rate);

// Switches the tone of the sources made with it; any thread.
using WaitingToneSwitch = std::shared_ptr<std::atomic<bool>>;

// `source` with the tone added while `on` holds (each time it turns on the pattern starts
// with its first beep); the sum is kept within the source's peak range.
audio::SourceRef MakeWaitingToneMix(audio::SourceRef source, WaitingToneSwitch on);

}  // namespace quillet::media
