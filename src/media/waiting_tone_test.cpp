// SPDX-License-Identifier: Apache-2.0
// Tests of the call-waiting tone: two 440 Hz beeps every four seconds, mixed into a call's
// audio only while switched on, at the call's rate and within its peak range.
#include "media/waiting_tone.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace quillet::media {
namespace {

// A call's audio: a steady value at 16000 Hz.
class SteadySource : public audio::AudioSource {
 public:
  explicit SteadySource(int32_t value)
      : AudioSource(16000, 1, audio::kProgramPeakRange), value_(value) {}
  void Read(int32_t* buffer, uint32_t frames) override {
    std::fill(buffer, buffer + frames, value_);
  }

 private:
  int32_t value_;
};

int crossings(const std::vector<int32_t>& samples, size_t from, size_t to, int32_t around) {
  int count = 0;
  for (size_t i = from + 1; i < to; ++i)
    count += (samples[i - 1] < around) != (samples[i] < around);
  return count;
}

TEST(WaitingTone, TwoBeepsMixedInOnlyWhileOn) {
  constexpr uint32_t kRate = 16000;
  auto on = std::make_shared<std::atomic<bool>>(false);
  auto mix = MakeWaitingToneMix(audio::SourceRef(new SteadySource(1000)), on);
  std::vector<int32_t> samples(kRate);
  mix->Read(samples.data(), kRate);
  for (int32_t sample : samples) ASSERT_EQ(sample, 1000);  // off: the call as it came

  on->store(true);
  samples.assign(kRate * 4, 0);
  mix->Read(samples.data(), kRate * 4);
  const size_t beep = kRate * kWaitingBeepMs / 1000;
  const size_t step = beep + kRate * kWaitingBeepGapMs / 1000;
  for (size_t start : {size_t{0}, step}) {
    // 440 Hz for 150 ms: 132 crossings of the call's level.
    EXPECT_NEAR(crossings(samples, start, start + beep, 1000), 2 * 440 * kWaitingBeepMs / 1000, 3);
  }
  for (size_t i = 2 * step; i < samples.size(); ++i) ASSERT_EQ(samples[i], 1000) << i;
  for (size_t i = beep + 1; i < step - 1; ++i) ASSERT_EQ(samples[i], 1000) << i;

  // Turned off and on again: the pattern starts over with its first beep.
  on->store(false);
  mix->Read(samples.data(), 100);
  on->store(true);
  mix->Read(samples.data(), static_cast<uint32_t>(beep));
  EXPECT_GT(crossings(samples, 0, beep, 1000), 120);
}

TEST(WaitingTone, QuietWithSoftEdgesAndKeptWithinThePeak) {
  EXPECT_LT(std::abs(waitingToneSample(1, 8000)), kWaitingToneAmplitude / 20);
  EXPECT_LT(std::abs(waitingToneSample(8000 * kWaitingBeepMs / 1000 - 2, 8000)),
            kWaitingToneAmplitude / 10);
  int32_t loudest = 0;
  for (uint64_t i = 0; i < 8000; ++i)
    loudest = std::max(loudest, std::abs(waitingToneSample(i, 8000)));
  EXPECT_NEAR(loudest, kWaitingToneAmplitude, kWaitingToneAmplitude / 50);

  auto on = std::make_shared<std::atomic<bool>>(true);
  auto mix = MakeWaitingToneMix(audio::SourceRef(new SteadySource(audio::kProgramPeakRange)), on);
  std::vector<int32_t> samples(1600);
  mix->Read(samples.data(), 1600);
  for (int32_t sample : samples) {
    ASSERT_LE(sample, audio::kProgramPeakRange);
    ASSERT_GE(sample, audio::kProgramPeakRange - 2 * kWaitingToneAmplitude);
  }
}

}  // namespace
}  // namespace quillet::media
