// SPDX-License-Identifier: Apache-2.0
// Streams for tests and benchmarks: a sink that keeps what it is given and a source over a
// vector of samples; and signal helpers (sine, level in dB, tone amplitude).
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "audio/audio_stream.h"

namespace quillet::audio::teststreams {

class KeepSink : public AudioSink {
 public:
  KeepSink(uint32_t rate, uint32_t channels) : AudioSink(rate, channels) {}
  void Write(const int32_t* samples, uint32_t frames) override {
    position_ += frames;
    data.insert(data.end(), samples, samples + static_cast<size_t>(frames) * channels_);
  }
  void Seek(uint32_t position) override {
    seeks.push_back(position);
    position_ = position;
  }
  std::vector<int32_t> data;
  std::vector<uint32_t> seeks;
};

class ArraySource : public AudioSource {
 public:
  ArraySource(uint32_t rate, uint32_t channels, std::vector<int32_t> samples,
              int32_t peak = kProgramPeakRange)
      : AudioSource(static_cast<int32_t>(rate), channels, peak), data(std::move(samples)) {}
  void Read(int32_t* buffer, uint32_t frames) override {
    for (size_t i = 0; i < static_cast<size_t>(frames) * channels_; ++i) {
      const size_t at = static_cast<size_t>(pos) * channels_ + i;
      buffer[i] = at < data.size() ? data[at] : 0;
    }
    pos += frames;
  }
  uint32_t Position() override { return pos; }
  uint32_t Length() override { return static_cast<uint32_t>(data.size() / channels_); }
  void Seek(uint32_t frame) override { pos = frame; }
  bool MoreComing() override { return live; }

  std::vector<int32_t> data;
  uint32_t pos = 0;
  bool live = false;
};

inline std::vector<int32_t> sine(double freq, double rate, size_t frames, double amplitude,
                                 double phase = 0) {
  std::vector<int32_t> v(frames);
  for (size_t i = 0; i < frames; ++i) {
    v[i] = static_cast<int32_t>(
        std::lround(amplitude * std::sin(2 * std::numbers::pi * freq * i / rate + phase)));
  }
  return v;
}

inline double db(double ratio) {
  return 20 * std::log10(ratio);
}

// Least-squares amplitude of a sinusoid at freq in x (quadrature projection).
inline double toneAmplitude(const int32_t* x, size_t n, double freq, double rate) {
  double c = 0;
  double s = 0;
  for (size_t i = 0; i < n; ++i) {
    const double w = 2 * std::numbers::pi * freq * i / rate;
    c += x[i] * std::cos(w);
    s += x[i] * std::sin(w);
  }
  return 2 * std::sqrt(c * c + s * s) / static_cast<double>(n);
}

}  // namespace quillet::audio::teststreams
