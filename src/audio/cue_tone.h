// The intercom cue: a short two-beep tone that goes before a call's audio on the speaker,
// so that a voice out of the loudspeaker does not come as a surprise.
#pragma once

#include <cstdint>

#include "audio/audio_stream.h"

namespace quillet::audio {

constexpr uint32_t kCueMs = 300;
// The beeps' frequencies (Hz), the first lower than the second.
constexpr uint32_t kCueLowHz = 880;
constexpr uint32_t kCueHighHz = 1320;

// A source that plays the cue and then the wrapped source, from its start: what the wrapped
// source holds meanwhile waits, and the delay that makes is paid back in its first pauses
// (quiet stretches are shortened; voice is never dropped). Its position and length count the
// cue's frames too, and not the quiet frames left out.
SourceRef MakeCueSource(const SourceRef& then);

}  // namespace quillet::audio
