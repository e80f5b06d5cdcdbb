// SPDX-License-Identifier: Apache-2.0
// Volume functions: the split of record volumes between mixer and digital gain, and the
// behaviour on devices without a mixer (file, null, missing cards; ALSA mixers are tested in
// tests/audio_devices).
#include "audio/volume.h"

#include <gtest/gtest.h>

#include "audio/level_meter.h"
#include "audio/recorder.h"

namespace quillet::audio {
namespace {

TEST(Volume, RecordVolumeGoesToTheMixerFirstThenToDigitalGain) {
  EXPECT_EQ(SplitRecordVolume(-200).mixerLevel, -127);
  EXPECT_EQ(SplitRecordVolume(1).mixerLevel, 2);  // one step of 2 dB
  EXPECT_EQ(SplitRecordVolume(12).mixerLevel, 12);
  EXPECT_EQ(SplitRecordVolume(12).digitalGain, kUnityGain);
  const auto high = SplitRecordVolume(18);  // 9 steps: mixer 12 dB, 6 dB digital
  EXPECT_EQ(high.mixerLevel, 12);
  EXPECT_NEAR(high.digitalGain, 1021.6, 1.0);             // 512 × 10^(6/20)
  EXPECT_EQ(SplitRecordVolume(127).digitalGain, 65535u);  // the table saturates at 2^31 - 1
}

TEST(Volume, DevicesWithoutMixerAreLeftAloneQuietly) {
  int level = 10;
  EXPECT_EQ(SetPlayVolume("null", level, -30), 0);
  EXPECT_EQ(level, -20);  // the caller's level becomes level + offset
  level = 100;
  EXPECT_EQ(SetPlayVolume("file:/tmp/none.wav", level, 100), 0);
  EXPECT_EQ(level, 127);
  EXPECT_EQ(SetRecordLevel("hw:NoSuchCard", 2, 5), 0);
  int selection = -5;
  EXPECT_EQ(InputChannelList("file:/tmp/mic.wav", 3, selection),
            std::vector<std::string>{kRecordMixerName});
  EXPECT_EQ(selection, 0);
  // No card: the volume is the stream's own, on the same dB steps as the mixer's.
  Recorder rec;
  rec.SetDevice("null", 0);
  SetRecordVolume(rec, 30);  // 15 steps of 2 dB
  EXPECT_NEAR(rec.streamVolume(), 31.6f, 0.1f);
  EXPECT_EQ(rec.digitalGain(), kUnityGain);
  SetRecordVolume(rec, -6);
  EXPECT_NEAR(rec.streamVolume(), 0.501f, 0.001f);
  SetRecordVolume(rec, -36);  // the mixer's bottom: silence
  EXPECT_EQ(rec.streamVolume(), 0.0f);
}

}  // namespace
}  // namespace quillet::audio
