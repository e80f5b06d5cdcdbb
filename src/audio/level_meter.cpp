// SPDX-License-Identifier: Apache-2.0
// Level metering and the dB tables.
#include "audio/level_meter.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace quillet::audio {

namespace {

LevelDb roundClamp(double db, bool below) {
  const double v = std::trunc(db + (below ? -0.5 : 0.5));
  return static_cast<LevelDb>(std::clamp(v, -127.0, 127.0));
}

struct DbTables {
  std::array<int32_t, 255> amp{};  // index L + 127
  std::array<int32_t, 255> pow{};
  DbTables() {
    for (int l = -126; l <= 127; ++l) {
      const double a = std::round(std::pow(10.0, l / 20.0) * 16777216.0);
      const double p = std::round(std::pow(10.0, l / 10.0) * 16777216.0);
      amp[static_cast<size_t>(l + 127)] = static_cast<int32_t>(std::min(a, 2147483647.0));
      pow[static_cast<size_t>(l + 127)] = static_cast<int32_t>(std::min(p, 2147483647.0));
    }
  }
};

const DbTables& tables() {
  static const DbTables t;  // built once, thread-safe
  return t;
}

}  // namespace

LevelDb peakToLevel(int64_t peak) {
  if (peak <= 0) return kSilenceDb;
  return roundClamp(20.0 * std::log10(static_cast<double>(peak) / kPeakReference),
                    peak < kPeakReference);
}

LevelDb meanToLevel(uint64_t mean) {
  if (mean == 0) return kSilenceDb;
  return roundClamp(10.0 * std::log10(static_cast<double>(mean) / kPowerReference),
                    mean < kPowerReference);
}

int64_t channelPeak(const int32_t* samples, uint32_t frames, uint32_t channels, uint32_t channel) {
  int64_t hi = 0;
  int64_t lo = 0;
  for (uint32_t f = 0; f < frames; ++f) {
    const int64_t x = samples[static_cast<size_t>(f) * channels + channel];
    hi = std::max(hi, x);
    lo = std::min(lo, x);
  }
  return std::max(hi, -lo);
}

uint64_t channelMeanSquare(const int32_t* samples, uint32_t frames, uint32_t channels,
                           uint32_t channel) {
  if (frames == 0) return 0;
  uint64_t sum = 0;
  for (uint32_t f = 0; f < frames; ++f) {
    const int64_t x = samples[static_cast<size_t>(f) * channels + channel] >> 5;
    sum += static_cast<uint64_t>(x * x);
  }
  return sum / frames;
}

LevelDb peakLevel(const int32_t* samples, uint32_t frames, uint32_t channels, uint32_t channel) {
  return peakToLevel(channelPeak(samples, frames, channels, channel));
}

LevelDb powerLevel(const int32_t* samples, uint32_t frames, uint32_t channels, uint32_t channel) {
  return meanToLevel(channelMeanSquare(samples, frames, channels, channel));
}

LevelDb combinedLevel(const LevelDb* levels, uint32_t count) {
  if (count == 0) return kSilenceDb;
  if (count == 1) return levels[0];
  return std::max(levels[0], levels[1]);
}

int32_t amplitudeFactor(int level) {
  if (level <= -127) return 0;
  return tables().amp[static_cast<size_t>(std::min(level, 127) + 127)];
}

int32_t powerFactor(int level) {
  if (level <= -127) return 0;
  return tables().pow[static_cast<size_t>(std::min(level, 127) + 127)];
}

}  // namespace quillet::audio
