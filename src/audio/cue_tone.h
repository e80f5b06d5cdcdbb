// SPDX-License-Identifier: Apache-2.0
// The intercom cue: a short two-beep tone that goes before a call's audio on the speaker,
// so that a voice out of the loudspeaker does not come as a surprise; and a call's source as
// its Player plays it, which takes the delay that stands in the playback queue back in pauses.
#pragma once

#include <cstdint>

#include "audio/audio_stream.h"

namespace quillet::audio {

constexpr uint32_t kCueMs = 300;
// The beeps' frequencies (Hz), the first lower than the second.
constexpr uint32_t kCueLowHz = 880;
constexpr uint32_t kCueHighHz = 1320;

// What a call's playback holds after the call's source and has not yet sounded (the
// Player's device queue), in frames at the source's rate.
class PlaybackQueue {
 public:
  virtual ~PlaybackQueue() = default;
  virtual uint32_t queuedFrames() const = 0;
  // The least of them that playback needs to run without a gap.
  virtual uint32_t neededFrames() const = 0;
};

// A call's source for its Player: the cue first when `cue` is set, then `then`. What stood
// queued (in `then`, here and in `queue`) above what playback needs, through the whole of
// the last second, is delay and no reserve against jitter: it is taken out of the pauses as
// the cue's delay is, and voice is never left out; what it went short of (from the second
// second on) is put back in a pause, a quiet piece played twice. Read on the Player's feeder
// thread.
SourceRef MakeCallSource(const SourceRef& then, bool cue, const PlaybackQueue& queue);

}  // namespace quillet::audio
