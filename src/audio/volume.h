// SPDX-License-Identifier: Apache-2.0
// Play and record volume in dB: on the mixer of a device that names a card, otherwise on the
// call's own stream; the split of high record volumes between mixer and digital gain, and the
// input-line lists of the dialogs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillet::audio {

class Player;
class Recorder;

// "Windows Record Mixer": the input-line entry that leaves the mixer's selection alone.
inline constexpr char kRecordMixerName[] = "Windows Record Mixer";

// True when a stored device name names a sound card (hw:, plughw:, CARD=): its mixer carries
// the volume. Any other device — "default" and the sound servers' PCMs, whose mixer is the
// desktop's own volume, file and null devices — carries it on its own stream.
bool VolumeOnCardMixer(const std::string& device, bool capture);

// The linear gain a level in dB means on the stream, as the mixer mapping steps it
// (platform::mixerControlValue): 1 dB a step, 0 dB = 1, silence at -36 dB and below.
float LevelGain(int level);

// Play volume of a card's playback device (stored name): its speaker lines get the level
// and the stream ("PCM") line level + offset (clamped to -127..127, written back to `level`),
// unmuted. Answers the number of controls set (0 when the device names no card or its
// mixer cannot be opened).
int SetPlayVolume(const std::string& device, int& level, int offset);

// Play volume of a Player (setting value clamped to -127..127) for its device: on the card's
// mixer with the stream at unity when the device names a card; otherwise on the Player's own
// stream (LevelGain, at most the mixer's top of +10 dB). A playing stream follows at once.
void SetPlayVolume(Player& player, int level);

// Record level of a capture device: does nothing when sourceIndex < 0; otherwise selects
// input line sourceIndex and sets the capture controls to the level. Answers the number of
// controls set.
int SetRecordLevel(const std::string& device, int sourceIndex, int level);

// Record volume of a Recorder (setting value clamped to -127..127). On a device naming a
// card: 0 and below go to the mixer; above, every 2 dB (rounded up) is a step: up to 6 steps
// raise the mixer by 2 dB each (12 dB at most), further steps add 2 dB of digital gain each;
// the mixer is only touched when the Recorder has an input line chosen. On any other device
// the gain of both parts together is the capture stream's own volume.
void SetRecordVolume(Recorder& recorder, int value);

// The digital gain (512 = unity) and mixer level a record volume gives.
struct RecordVolumeSplit {
  int mixerLevel;
  uint32_t digitalGain;
};
RecordVolumeSplit SplitRecordVolume(int value);

// Input lines of a capture device's mixer (0 when it has none; at most 127).
int InputLineCount(const std::string& device);
// Name of an input line; -1 gives "Windows Record Mixer", an unknown index "".
std::string InputLineName(const std::string& device, int index);
// The dialog's input-channel list: "Windows Record Mixer" followed by every line. The
// previous selection is kept when it still exists, else 0 is selected.
std::vector<std::string> InputChannelList(const std::string& device, int previous, int& selection);

}  // namespace quillet::audio
