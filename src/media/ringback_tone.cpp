// SPDX-License-Identifier: Apache-2.0
// The ringback tone's samples and its endless source.
#include "media/ringback_tone.h"

#include "media/hold_sound.h"

namespace quillet::media {

namespace {

constexpr uint64_t kRate = 8000;

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
  return toneBurstSample(position, kRingbackHz, kRingbackOnMs, kRingbackPeriodMs,
                         kRingbackAmplitude);
}

audio::SourceRef MakeRingbackSource() {
  return audio::SourceRef(new RingbackSource());
}

}  // namespace quillet::media
