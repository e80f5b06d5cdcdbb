// SPDX-License-Identifier: Apache-2.0
// Format converters: channel adapters, resamplers, the peak limiter and the loop source, and
// the two chain builders that put them in front of a sink or around a source.
#pragma once

#include <cstdint>

#include "audio/audio_stream.h"

namespace quillet::audio {

// ---- capture side (sinks) ----

// A sink that accepts `channels` and writes the given sink: 2 on a mono sink or 1 on a
// stereo sink gives an adapter (stereo to mono writes (L + R) >> 1); equal counts give the
// sink itself; anything else a NullSink.
SinkRef MakeSinkAdapter(uint32_t channels, const SinkRef& sink);

// A sink at inputRate in front of the given sink (15 taps); equal rates give the sink itself.
SinkRef MakeResamplingSink(uint32_t inputRate, const SinkRef& sink);

// The capture chain for a device opened at (rate, channels) writing into sink: a channel
// adapter when the device has fewer channels than the sink, a resampler when the rates
// differ, and a channel adapter when the counts still differ.
SinkRef BuildCaptureChain(uint32_t rate, uint32_t channels, const SinkRef& sink);

// ---- playback and file side (sources) ----

// 2 from mono or 1 from stereo gives an adapter (stereo to mono returns L + R, not halved);
// otherwise the source itself; a null source is passed through.
SourceRef MakeSourceAdapter(uint32_t channels, const SourceRef& source);

// A source at `rate` reading the given one (63 taps); equal rates give the source itself.
// Below a quarter of the source's rate two stages are made: first to twice the target
// rate (narrower cut-off), then to the target rate.
SourceRef MakeResamplingSource(uint32_t rate, const SourceRef& source);

// The source chain for a consumer wanting (rate, channels): an adapter when the consumer
// wants fewer channels, a resampler when the rates differ, an adapter when the counts still
// differ. Used by the stream pump and the stream recorder.
SourceRef AdaptSource(uint32_t rate, uint32_t channels, const SourceRef& source);

// Look-ahead peak limiter holding the output to `limit` (at most 0x3FFFFF). Blocks are
// rate / 70 frames for a live source and rate / 35 for a finished one, within 16..8192.
SourceRef MakePeakLimiter(int32_t limit, const SourceRef& source);

// Repeats [startMs, endMs) of the source without end (swapped when end < start).
SourceRef MakeLoopSource(uint32_t startMs, uint32_t endMs, const SourceRef& source);

// 12-bit partial-product multiply of a sample by a Q24 gain (the arithmetic the gain
// filters share): v × g / 2^24.
inline int32_t applyGainQ24(int32_t v, int32_t g) {
  const int64_t lo = static_cast<int64_t>(v & 0xFFF) * (g >> 12) >> 12;
  const int64_t mid = static_cast<int64_t>(g & 0xFFF) * (v >> 12) >> 12;
  const int64_t hi = static_cast<int64_t>(g >> 12) * (v >> 12);
  return static_cast<int32_t>(lo + mid + hi);
}

}  // namespace quillet::audio
