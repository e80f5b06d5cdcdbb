// SPDX-License-Identifier: Apache-2.0
// The ringback tone's samples and its endless source.
#include "media/ringback_tone.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace quillet::media {

namespace {

constexpr uint64_t kRate = 8000;
constexpr uint64_t kRampSamples = kRate / 100;

// Always a block ahead: the Player reads on, the device paces it.
class RingbackSource : public audio::AudioSource {
 public:
  RingbackSource() : AudioSource(kRate, 1, audio::kProgramPeakRange) {}
  void Read(int32_t* buffer, uint32_t frames) override {
    for (uint32_t i = 0; i < frames; ++i) buffer[i] = ringbackSample(position_++);
  }
  uint32_t Position() override { return static_cast<uint32_t>(position_); }
  uint32_t Length() override { return static_cast<uint32_t>(position_ + kRate / 10); }
  bool MoreComing() override { return true; }

 private:
  uint64_t position_ = 0;
};

}  // namespace

int32_t ringbackSample(uint64_t position) {
  const uint64_t at = position % (kRate * kRingbackPeriodMs / 1000);
  const uint64_t length = kRate * kRingbackOnMs / 1000;
  if (at >= length) return 0;
  const uint64_t edge = std::min(at, length - 1 - at);
  const double ramp = edge >= kRampSamples ? 1.0 : static_cast<double>(edge) / kRampSamples;
  const double phase =
      2.0 * std::numbers::pi * kRingbackHz * static_cast<double>(at) / static_cast<double>(kRate);
  return static_cast<int32_t>(std::lround(kRingbackAmplitude * ramp * std::sin(phase)));
}

audio::SourceRef MakeRingbackSource() {
  return audio::SourceRef(new RingbackSource());
}

}  // namespace quillet::media
