// SPDX-License-Identifier: Apache-2.0
// AudioPipe: a byte ring that joins a producer thread (its writer end, an AudioSink) and a
// consumer thread (its reader end, an AudioSource).
#pragma once

#include <cstdint>
#include <memory>

#include "audio/audio_stream.h"

namespace quillet::audio {

// Every pipe of the program holds 1234800 bytes (38.6 s of 8000 Hz mono).
constexpr uint32_t kPipeBytes = 1234800;

class AudioPipe;
using PipeRef = std::shared_ptr<AudioPipe>;

// Creates a pipe; the returned reference is the creator's. ringBytes is the most the ring
// holds (tests use small rings).
PipeRef CreatePipe(uint32_t rate, uint32_t channels, int32_t peakRange,
                   uint32_t ringBytes = kPipeBytes);

// The writer end. Write copies into the ring; with the ring full it waits for the reader in
// 200 ms steps while a reader is attached, and drops the rest of the block when none is.
// Dropping the writer end wakes the reader, which then sees the end.
SinkRef OpenWriter(const PipeRef& pipe);

// The reader end. Read delivers exactly the frames asked for: it waits (1000 ms steps) while
// the writer is attached, and fills zeros once the writer is gone and the ring is empty.
// Position counts the frames handed out (zeros included), Length is Position plus the frames
// in the ring, MoreComing while a writer is attached, Wait waits for new data.
SourceRef OpenReader(const PipeRef& pipe);

// Frames now held in the ring (for tests and diagnostics).
uint32_t PipeFrames(const PipeRef& pipe);

}  // namespace quillet::audio
