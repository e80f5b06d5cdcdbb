// SPDX-License-Identifier: Apache-2.0
// Test audio for the codec reference tests, made at test time: speech from espeak-ng
// resampled by sox, and a synthetic mix of tones, a sweep and noise bursts.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>
#include <vector>

#include "wav_io.h"

namespace quillet::codecs::testing {

// 8000 Hz mono speech, or empty when espeak-ng or sox failed (reason in error).
inline std::vector<int16_t> makeSpeech(std::string& error) {
  char dir[] = "/tmp/quillet-codec-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    error = "mkdtemp failed";
    return {};
  }
  const std::string raw = std::string(dir) + "/speech22k.wav";
  const std::string wav = std::string(dir) + "/speech.wav";
  const std::string command =
      "espeak-ng -v en -s 150 -w " + raw +
      " 'The quick brown fox jumps over the lazy dog. Please call me back at"
      " half past seven, the door code is four two six nine.' && sox " +
      raw + " -r 8000 -c 1 -b 16 " + wav + " gain -n -6";
  std::vector<int16_t> samples;
  if (std::system(command.c_str()) != 0) {
    error = "espeak-ng or sox failed: " + command;
  } else {
    tool::WavFile file;
    if (tool::readWav(wav, file, error) == tool::WavStatus::kOk && file.sampleRate == 8000 &&
        file.channels == 1) {
      samples = std::move(file.samples);
    } else if (error.empty()) {
      error = "unexpected format from sox";
    }
  }
  std::remove(raw.c_str());
  std::remove(wav.c_str());
  rmdir(dir);
  return samples;
}

// Four seconds: tones at several levels, a sweep, noise bursts and silence.
inline std::vector<int16_t> makeSyntheticMix() {
  std::vector<int16_t> out;
  uint32_t seed = 2024;
  auto noise = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<int>(seed >> 16) - 32768;
  };
  const double pi = std::numbers::pi;
  for (int i = 0; i < 32000; ++i) {
    const double t = i / 8000.0;
    double v = 0;
    if (i < 8000) {
      v = 12000 * std::sin(2 * pi * 440 * t) + 6000 * std::sin(2 * pi * 1250 * t);
    } else if (i < 16000) {
      const double f = 100 + 3400 * (i - 8000) / 8000.0;  // sweep 100 Hz .. 3.5 kHz
      v = 20000 * std::sin(2 * pi * f * t * 0.5);
    } else if (i < 24000) {
      v = ((i / 800) % 2) ? noise() * 0.3 : 300 * std::sin(2 * pi * 200 * t);
    } else if (i < 28000) {
      v = 30000 * std::sin(2 * pi * 1000 * t);
    }
    out.push_back(static_cast<int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0))));
  }
  return out;
}

inline double snrDb(const std::vector<int16_t>& ref, const std::vector<int16_t>& out) {
  double signal = 0;
  double noise = 0;
  for (size_t i = 0; i < ref.size() && i < out.size(); ++i) {
    const double e = static_cast<double>(out[i]) - ref[i];
    signal += static_cast<double>(ref[i]) * ref[i];
    noise += e * e;
  }
  return noise == 0 ? 200.0 : 10.0 * std::log10(signal / noise);
}

}  // namespace quillet::codecs::testing
