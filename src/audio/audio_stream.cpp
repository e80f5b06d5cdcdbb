// SPDX-License-Identifier: Apache-2.0
// Base sink and source, the source filter base and the null streams.
#include "audio/audio_stream.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace quillet::audio {

AudioSink::AudioSink(uint32_t rate, uint32_t channels)
    : rate_(rate), channels_(static_cast<uint8_t>(std::min<uint32_t>(channels, 255))) {
  if (channels_ == 0) {
    channels_ = 1;
    flags_ |= kStreamNull;
  }
}

uint32_t AudioSink::positionMs() const {
  if (rate_ == 0) return 0;
  return position_ / rate_ * 1000 + position_ % rate_ * 1000 / rate_;
}

AudioSink* AudioSink::newNull() {
  return new NullSink();
}

AudioSource::AudioSource(int32_t rate, uint32_t channels, int32_t peakRange)
    : rate_(static_cast<uint32_t>(rate)),
      peakRange_(peakRange),
      channels_(static_cast<uint8_t>(std::min<uint32_t>(channels, 255))) {
  if (rate < 1) {
    rate_ = 44100;
    flags_ = 3;
  }
  if (channels_ == 0) {
    channels_ = 1;
    flags_ = 3;
  }
}

void AudioSource::Wait(uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint32_t AudioSource::framesToMs(uint32_t frames) const {
  return frames / rate_ * 1000 + frames % rate_ * 1000 / rate_;
}

AudioSource* AudioSource::newNull() {
  return new NullSource();
}

SourceFilter::SourceFilter(SourceRef source)
    : AudioSource(static_cast<int32_t>(source->rate()), source->channels(), source->peakRange()),
      source_(std::move(source)) {}

SourceFilter::SourceFilter(SourceRef source, int32_t rate, uint32_t channels, int32_t peakRange)
    : AudioSource(rate, channels, peakRange), source_(std::move(source)) {}

NullSink::NullSink() : AudioSink(44100, 1) {
  flags_ = kStreamNull;
}

NullSource::NullSource(StreamError error) : AudioSource(11025, 1, 0x200000) {
  // The null bit is always set; the error kind is kept apart from it so that a file that
  // cannot be opened (kind 4, bit 0 clear) still reads as a null source.
  flags_ = kStreamNull;
  error_ = error;
}

void NullSource::Read(int32_t* buffer, uint32_t frames) {
  std::fill(buffer, buffer + static_cast<size_t>(frames) * channels_, 0);
}

}  // namespace quillet::audio
