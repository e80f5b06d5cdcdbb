// Volume functions over the platform mixer.
#include "audio/volume.h"

#include <algorithm>
#include <cmath>

#include "audio/level_meter.h"
#include "audio/recorder.h"
#include "platform/audio_device.h"
#include "platform/mixer.h"

namespace quillet::audio {

int SetPlayVolume(const std::string& device, int& level, int offset) {
  level = std::clamp(level, -127, 127);
  auto mixer = platform::Mixer::openForDevice(device, false);
  const uint32_t c = platform::mixerControlValue(level);
  const bool isDefault = device.empty() || device == platform::kDefaultSoundOut;
  if (isDefault) return mixer ? mixer->setPlayback(c, c) : 0;
  const int level2 = std::clamp(offset + level, -127, 127);
  level = level2;
  // The stream line's bottom is one dB higher than the main controls' (-35 instead of -36).
  const uint32_t c2 = level2 < -35 ? 0 : std::min<uint32_t>((level2 + 36) * 1424, 65535);
  return mixer ? mixer->setPlayback(c, c2) : 0;
}

float StreamGain(int level) {
  level = std::clamp(level, -127, 10);
  return level <= -36 ? 0.0f : static_cast<float>(std::pow(10.0, level / 20.0));
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
