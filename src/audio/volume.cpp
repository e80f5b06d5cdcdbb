// SPDX-License-Identifier: Apache-2.0
// Volume functions over the platform mixer and the streams' own volumes.
#include "audio/volume.h"

#include <algorithm>
#include <cmath>

#include "audio/level_meter.h"
#include "audio/player.h"
#include "audio/recorder.h"
#include "platform/audio_device.h"
#include "platform/mixer.h"

namespace quillet::audio {

namespace {
// The level at which the mixer mapping reaches the top of a control's range.
constexpr int kMixerTopLevel = 10;
}  // namespace

bool VolumeOnCardMixer(const std::string& device, bool capture) {
  const platform::AudioDeviceSpec resolved = platform::resolveAudioDevice(device, capture);
  return resolved.kind == platform::AudioDeviceSpec::Kind::Alsa &&
         !platform::mixerCardForPcm(resolved.target).empty();
}

float LevelGain(int level) {
  if (platform::mixerControlValue(level) == 0) return 0.0f;
  return static_cast<float>(std::pow(10.0, level / 20.0));
}

int SetPlayVolume(const std::string& device, int& level, int offset) {
  level = std::clamp(level, -127, 127);
  auto mixer = platform::Mixer::openForDevice(device, false);
  const uint32_t c = platform::mixerControlValue(level);
  const int level2 = std::clamp(offset + level, -127, 127);
  level = level2;
  // The stream line's bottom is one dB higher than the main controls' (-35 instead of -36).
  const uint32_t c2 = level2 < -35 ? 0 : std::min<uint32_t>((level2 + 36) * 1424, 65535);
  return mixer ? mixer->setPlayback(c, c2) : 0;
}

void SetPlayVolume(Player& player, int level) {
  level = std::clamp(level, -127, 127);
  if (VolumeOnCardMixer(player.deviceName(), false)) {
    player.setStreamVolume(1.0f);
    SetPlayVolume(player.deviceName(), level, 0);
    return;
  }
  player.setStreamVolume(LevelGain(std::min(level, kMixerTopLevel)));
}

int SetRecordLevel(const std::string& device, int sourceIndex, int level) {
  if (sourceIndex < 0) return 0;
  auto mixer = platform::Mixer::openForDevice(device, true);
  if (!mixer) return 0;
  return mixer->setCapture(sourceIndex, platform::mixerControlValue(std::clamp(level, -127, 127)));
}

RecordVolumeSplit SplitRecordVolume(int value) {
  value = std::clamp(value, -127, 127);
  if (value <= 0) return {value, kUnityGain};
  const int steps = (value + 1) / 2;
  if (steps <= 6) return {steps * 2, kUnityGain};
  const int digitalDb = (steps - 6) * 2;
  return {12, static_cast<uint32_t>(amplitudeFactor(digitalDb) / 32768)};
}

void SetRecordVolume(Recorder& recorder, int value) {
  const RecordVolumeSplit split = SplitRecordVolume(value);
  if (!VolumeOnCardMixer(recorder.deviceName(), true)) {
    recorder.setDigitalGain(kUnityGain);
    recorder.setStreamVolume(LevelGain(split.mixerLevel) * split.digitalGain / kUnityGain);
    return;
  }
  recorder.setStreamVolume(1.0f);
  recorder.setDigitalGain(split.digitalGain);
  SetRecordLevel(recorder.deviceName(), recorder.inputChannel() - 1, split.mixerLevel);
}

int InputLineCount(const std::string& device) {
  auto mixer = platform::Mixer::openForDevice(device, true);
  return mixer ? static_cast<int>(std::min<size_t>(mixer->inputLines().size(), 127)) : 0;
}

std::string InputLineName(const std::string& device, int index) {
  if (index == -1) return kRecordMixerName;
  auto mixer = platform::Mixer::openForDevice(device, true);
  if (!mixer || index < 0) return {};
  const auto lines = mixer->inputLines();
  return static_cast<size_t>(index) < lines.size() ? lines[index] : std::string();
}

std::vector<std::string> InputChannelList(const std::string& device, int previous, int& selection) {
  std::vector<std::string> list{kRecordMixerName};
  if (auto mixer = platform::Mixer::openForDevice(device, true)) {
    for (auto& line : mixer->inputLines()) list.push_back(line);
  }
  selection = previous >= 0 && static_cast<size_t>(previous) < list.size() ? previous : 0;
  return list;
}

}  // namespace quillet::audio
