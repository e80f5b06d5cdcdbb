// SPDX-License-Identifier: Apache-2.0
// Mixer access for the ALSA devices: play and record volume, mute and the capture input
// line, with the program's dB-to-control mapping spread over each ALSA control's range.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quillet::platform {

// Control value (0..65535) of a level in dB: 0 at -36 dB and below, else
// min((level + 36) × 1424, 65535).
uint32_t mixerControlValue(int level);

// A control value 0..65535 spread over an ALSA control range [min, max].
long mixerToAlsaRange(uint32_t value, long min, long max);

// The ALSA control device (card) a PCM name names: "hw:CARD" for hw:/plughw:/CARD= names;
// empty when the name names no card: "default" and the sound servers' PCMs (their mixer is
// the desktop's volume), null, file and other plugins.
std::string mixerCardForPcm(const std::string& pcm);

class Mixer {
 public:
  ~Mixer();
  Mixer(const Mixer&) = delete;
  Mixer& operator=(const Mixer&) = delete;

  // The mixer of the card a stored device name names (see resolveAudioDevice and
  // mixerCardForPcm); null when it names none or the card cannot be opened.
  static std::unique_ptr<Mixer> openForDevice(const std::string& deviceName, bool capture);
  // The mixer of an ALSA control device ("default", "hw:0"); null when it cannot be opened.
  static std::unique_ptr<Mixer> openCard(const std::string& card);

  // Playback: the speaker lines only — "Master", "Speaker" and "Headphone" get `master`,
  // "PCM" (the stream's own line) `stream`, and their switches are turned on (unmuted). Every
  // other control (the analog Mic/Line/CD passthrough among them) is left as it is. Answers
  // the number of controls set.
  int setPlayback(uint32_t master, uint32_t stream);

  // The capture input lines: the items of the capture source selector when the card has one,
  // otherwise the capture controls other than the main "Capture" control.
  std::vector<std::string> inputLines();

  // Record level: the main capture controls get `value` and are switched on; the selector
  // selects `line`; each input line control gets `value` and is switched on when it is
  // `line`, else 0 and switched off. Answers the number of controls set.
  int setCapture(int line, uint32_t value);

 private:
  explicit Mixer(void* handle) : handle_(handle) {}
  void* handle_;  // snd_mixer_t
};

}  // namespace quillet::platform
