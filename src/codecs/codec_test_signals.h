// SPDX-License-Identifier: Apache-2.0
// Test signals and measures shared by the codec tests (header-only, tests only).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace quillet::codecs::testing {

// A sine in the internal format: amplitude as a fraction of 16-bit full scale.
inline std::vector<int32_t> sine(double hz, double amplitude, int count) {
  std::vector<int32_t> out(count);
  for (int i = 0; i < count; ++i) {
    const double v = amplitude * 32767.0 * std::sin(2.0 * std::numbers::pi * hz * i / 8000.0);
    out[i] = static_cast<int32_t>(std::lround(v)) * 16;
  }
  return out;
}

// Two seconds or more of a voice-like signal in the internal format at any rate: a
// gliding pitch (110 .. 190 Hz) whose harmonics are shaped by three formants, in syllables
// of about 200 ms with short pauses between them, peaking near -6 dBFS.
inline std::vector<int32_t> speechLike(int rate, int count) {
  std::vector<int32_t> out(count);
  const double pi = std::numbers::pi;
  const double formants[3] = {700.0, 1200.0, 2600.0};
  double phase = 0;
  for (int i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double pitch = 150.0 + 40.0 * std::sin(2 * pi * 0.7 * t);
    phase += 2 * pi * pitch / rate;
    const double syllable = std::fmod(t, 0.25);
    const double envelope = syllable < 0.2 ? std::sin(pi * syllable / 0.2) : 0.0;
    double v = 0;
    for (int h = 1; h * pitch < std::min(rate / 2.0, 7000.0); ++h) {
      double gain = 0;
      for (double f : formants) gain += 1.0 / (1.0 + std::pow((h * pitch - f) / 150.0, 2));
      v += gain / h * std::sin(h * phase);
    }
    out[i] = static_cast<int32_t>(std::lround(0.25 * 32767.0 * envelope * v)) * 16;
  }
  return out;
}

// The largest ratio of signal to difference in dB over delays of the output of
// 0 .. maxDelay samples (codecs with look-ahead give their audio back later).
inline double alignedSnrDb(const std::vector<int32_t>& in, const std::vector<int32_t>& out,
                           int maxDelay, int* delayFound = nullptr) {
  double best = -100;
  for (int d = 0; d <= maxDelay; ++d) {
    double signal = 0;
    double noise = 0;
    for (size_t i = 0; i + d < out.size() && i < in.size(); ++i) {
      const double e = static_cast<double>(out[i + d]) - in[i];
      signal += static_cast<double>(in[i]) * in[i];
      noise += e * e;
    }
    const double snr = noise == 0 ? 200.0 : 10.0 * std::log10(signal / noise);
    if (snr > best) {
      best = snr;
      if (delayFound) *delayFound = d;
    }
  }
  return best;
}

inline double rms(const int32_t* x, int count) {
  double sum = 0;
  for (int i = 0; i < count; ++i) sum += static_cast<double>(x[i]) * x[i];
  return count > 0 ? std::sqrt(sum / count) : 0.0;
}

}  // namespace quillet::codecs::testing
