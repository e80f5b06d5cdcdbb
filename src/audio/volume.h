// Play and record volume in dB applied through the device's mixer, the split of high
// record volumes between mixer and digital gain, and the input-line lists of the dialogs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillet::audio {

class Recorder;

// "Windows Record Mixer": the input-line entry that leaves the mixer's selection alone.
inline constexpr char kRecordMixerName[] = "Windows Record Mixer";

// Play volume of a playback device (stored name; "" or "[Default Sound Out]" = default).
// The default device gets the level on all its playback controls; another device gets
// the level on its main controls and level + offset (clamped to -127..127, written back to
// `level`) on its stream ("PCM") control, unmuted. Answers the number of controls set
// (0 when the device has no mixer).
int SetPlayVolume(const std::string& device, int& level, int offset);

// The linear gain of a play volume (dB, clamped to -127..10) for a stream volume of the
// device's own: 0 at -36 dB and below, where the mixer's controls go silent too.
float StreamGain(int level);

// Record level of a capture device: does nothing when sourceIndex < 0; otherwise selects
// input line sourceIndex and sets the capture controls to the level. Answers the number of
// controls set.
int SetRecordLevel(const std::string& device, int sourceIndex, int level);

// Record volume of a Recorder (setting value clamped to -127..127): 0 and below go to the
// mixer; above, every 2 dB (rounded up) is a step: up to 6 steps raise the mixer by 2 dB
// each (12 dB at most), further steps add 2 dB of digital gain each. The mixer is only
// touched when the Recorder has an input line chosen.
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
