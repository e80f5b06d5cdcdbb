// SPDX-License-Identifier: Apache-2.0
// AutoGain: high-pass, block peak level, and a gain that follows the table's target.
#include "audio/auto_gain.h"

#include <algorithm>
#include <cmath>

#include "audio/converters.h"
#include "audio/level_meter.h"

namespace quillet::audio {

namespace {

constexpr double kRatio = 0.9261187281287935;  // 10^(-1/30): 2/3 dB

}  // namespace

AutoGain::AutoGain(SinkRef downstream)
    : AudioSink(downstream->rate(), downstream->channels()),
      down_(std::move(downstream)),
      fastSteps_(rate_ / 70),
      slowSteps_(rate_),
      k_(rate_ > 0 ? static_cast<int32_t>(256.0 * (1.0 - std::exp(-3141.5926535 / rate_))) : 0),
      work_(static_cast<size_t>(kMaxFrames) * channels_) {
  // Quiet input gets +12 dB, -18..+2 dB falls 2/3 dB per dB (0 dB at level 0), louder
  // input falls 1 dB per dB; the factor 2 applied at use adds 6 dB throughout.
  const double top = 16777216.0 / std::pow(kRatio, 18);
  for (int level = -128; level <= -19; ++level) {
    table_[static_cast<size_t>(level + 128)] = static_cast<int32_t>(top);
  }
  double v = top;
  for (int level = -18; level <= 2; ++level) {
    table_[static_cast<size_t>(level + 128)] = static_cast<int32_t>(v);
    v *= kRatio;
  }
  v = 16777216.0 * std::pow(kRatio, 3);
  for (int level = 3; level <= 127; ++level) {
    table_[static_cast<size_t>(level + 128)] = static_cast<int32_t>(v);
    v *= 0.8913;
  }
}

void AutoGain::Write(const int32_t* samples, uint32_t frames) {
  while (frames > 0) {
    const uint32_t n = std::min(frames, kMaxFrames);
    writeBlock(samples, n);
    samples += static_cast<size_t>(n) * channels_;
    frames -= n;
  }
}

void AutoGain::writeBlock(const int32_t* samples, uint32_t frames) {
  position_ += frames;
  const size_t count = static_cast<size_t>(frames) * channels_;
  if (channels_ == 1) {
    for (size_t i = 0; i < count; ++i) {
      const int32_t y = samples[i] - (state_ >> 8);
      state_ += k_ * y;
      work_[i] = y;
    }
  } else {
    std::copy(samples, samples + count, work_.begin());
  }
  const LevelDb level = peakLevel(work_.data(), static_cast<uint32_t>(count), 1, 0);
  const int32_t target = 2 * table_[static_cast<size_t>(level + 128)];
  const int64_t steps =
      std::max<int64_t>(1, int64_t{channels_} * (target < gain_ ? fastSteps_ : slowSteps_));
  for (size_t i = 0; i < count; ++i) {
    gain_ += static_cast<int32_t>((int64_t{target} - gain_) / steps);
    work_[i] = applyGainQ24(work_[i], gain_);
  }
  down_->Write(work_.data(), frames);
}

}  // namespace quillet::audio
