// SPDX-License-Identifier: Apache-2.0
// Test signals and measures shared by the codec tests (header-only, tests only).
#pragma once

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

inline double rms(const int32_t* x, int count) {
  double sum = 0;
  for (int i = 0; i < count; ++i) sum += static_cast<double>(x[i]) * x[i];
  return count > 0 ? std::sqrt(sum / count) : 0.0;
}

}  // namespace quillet::codecs::testing
