// SPDX-License-Identifier: Apache-2.0
// ALSA simple-mixer access behind the program's volume functions.
#include "platform/mixer.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/audio_device.h"

namespace quillet::platform {
namespace {

snd_mixer_t* mixerOf(void* handle) {
  return static_cast<snd_mixer_t*>(handle);
}

void quietErrors(const char*, int, const char*, int, const char*, ...) {}

bool isSpeakerLine(const char* name) {
  for (const char* line : {"Master", "PCM", "Speaker", "Headphone"}) {
    if (std::strcmp(name, line) == 0) return true;
  }
  return false;
}

bool isMainCapture(snd_mixer_elem_t* e) {
  return std::strcmp(snd_mixer_selem_get_name(e), "Capture") == 0;
}

bool isCaptureLine(snd_mixer_elem_t* e) {
  return !isMainCapture(e) && !snd_mixer_selem_is_enumerated(e) &&
         (snd_mixer_selem_has_capture_volume(e) || snd_mixer_selem_has_capture_switch(e));
}

snd_mixer_elem_t* captureSelector(snd_mixer_t* m) {
  for (auto* e = snd_mixer_first_elem(m); e != nullptr; e = snd_mixer_elem_next(e)) {
    if (snd_mixer_selem_is_active(e) && snd_mixer_selem_is_enum_capture(e)) return e;
  }
  return nullptr;
}

void setCaptureVolume(snd_mixer_elem_t* e, uint32_t value) {
  long min = 0, max = 0;
  if (snd_mixer_selem_get_capture_volume_range(e, &min, &max) == 0)
    snd_mixer_selem_set_capture_volume_all(e, mixerToAlsaRange(value, min, max));
}

}  // namespace

uint32_t mixerControlValue(int level) {
  if (level <= -36) return 0;
  return static_cast<uint32_t>(std::min((level + 36) * 1424, 65535));
}

long mixerToAlsaRange(uint32_t value, long min, long max) {
  if (max <= min) return min;
  value = std::min<uint32_t>(value, 65535);
  const long long span = static_cast<long long>(max) - min;
  return static_cast<long>(min + (span * value + 32767) / 65535);
}

std::string mixerCardForPcm(const std::string& pcm) {
  const auto cardAt = pcm.find("CARD=");
  if (cardAt != std::string::npos) {
    const auto end = pcm.find(',', cardAt);
    return "hw:" + pcm.substr(cardAt + 5, end == std::string::npos ? end : end - cardAt - 5);
  }
  for (const char* prefix : {"hw:", "plughw:"}) {
    if (pcm.rfind(prefix, 0) == 0) {
      const std::string rest = pcm.substr(std::strlen(prefix));
      return "hw:" + rest.substr(0, rest.find(','));
    }
  }
  return {};
}

Mixer::~Mixer() {
  snd_mixer_close(mixerOf(handle_));
}

std::unique_ptr<Mixer> Mixer::openForDevice(const std::string& deviceName, bool capture) {
  const AudioDeviceSpec device = resolveAudioDevice(deviceName, capture);
  if (device.kind != AudioDeviceSpec::Kind::Alsa) return nullptr;
  const std::string card = mixerCardForPcm(device.target);
  return card.empty() ? nullptr : openCard(card);
}

std::unique_ptr<Mixer> Mixer::openCard(const std::string& card) {
  snd_lib_error_set_handler(quietErrors);
  snd_mixer_t* m = nullptr;
  if (snd_mixer_open(&m, 0) < 0) return nullptr;
  if (snd_mixer_attach(m, card.c_str()) < 0 || snd_mixer_selem_register(m, nullptr, nullptr) < 0 ||
      snd_mixer_load(m) < 0) {
    snd_mixer_close(m);
    return nullptr;
  }
  return std::unique_ptr<Mixer>(new Mixer(m));
}

int Mixer::setPlayback(uint32_t master, uint32_t stream) {
  int set = 0;
  for (auto* e = snd_mixer_first_elem(mixerOf(handle_)); e != nullptr; e = snd_mixer_elem_next(e)) {
    const char* name = snd_mixer_selem_get_name(e);
    if (!snd_mixer_selem_is_active(e) || !isSpeakerLine(name)) continue;
    const bool pcm = std::strcmp(name, "PCM") == 0;
    long min = 0, max = 0;
    if (snd_mixer_selem_has_playback_volume(e) &&
        snd_mixer_selem_get_playback_volume_range(e, &min, &max) == 0 &&
        snd_mixer_selem_set_playback_volume_all(
            e, mixerToAlsaRange(pcm ? stream : master, min, max)) == 0)
      ++set;
    if (snd_mixer_selem_has_playback_switch(e) &&
        snd_mixer_selem_set_playback_switch_all(e, 1) == 0)
      ++set;
  }
  return set;
}

std::vector<std::string> Mixer::inputLines() {
  std::vector<std::string> lines;
  snd_mixer_t* m = mixerOf(handle_);
  if (auto* selector = captureSelector(m)) {
    const int items = snd_mixer_selem_get_enum_items(selector);
    for (int i = 0; i < items && i < 127; ++i) {
      char name[128] = {};
      snd_mixer_selem_get_enum_item_name(selector, static_cast<unsigned>(i), sizeof name - 1, name);
      lines.emplace_back(name);
    }
    return lines;
  }
  for (auto* e = snd_mixer_first_elem(m); e != nullptr && lines.size() < 127;
       e = snd_mixer_elem_next(e)) {
    if (snd_mixer_selem_is_active(e) && isCaptureLine(e))
      lines.emplace_back(snd_mixer_selem_get_name(e));
  }
  return lines;
}

int Mixer::setCapture(int line, uint32_t value) {
  int set = 0;
  snd_mixer_t* m = mixerOf(handle_);
  snd_mixer_elem_t* selector = captureSelector(m);
  std::string chosenName;  // the selected item, when the card has a selector
  if (selector != nullptr && line >= 0 && line < snd_mixer_selem_get_enum_items(selector)) {
    if (snd_mixer_selem_set_enum_item(selector, SND_MIXER_SCHN_MONO, static_cast<unsigned>(line)) ==
        0)
      ++set;
    // Multi-channel selectors keep every channel on the same line.
    for (int c = 0; c <= SND_MIXER_SCHN_LAST; ++c)
      snd_mixer_selem_set_enum_item(selector, static_cast<snd_mixer_selem_channel_id_t>(c),
                                    static_cast<unsigned>(line));
    char name[128] = {};
    snd_mixer_selem_get_enum_item_name(selector, static_cast<unsigned>(line), sizeof name - 1,
                                       name);
    chosenName = name;
  }
  // With a selector the line controls come in the card's order: the chosen one is the
  // control named as the selected item. A card whose controls bear other names keeps them
  // all on, and the selector alone decides.
  bool named = false;
  for (auto* e = snd_mixer_first_elem(m); e != nullptr && !chosenName.empty();
       e = snd_mixer_elem_next(e))
    named = named || (isCaptureLine(e) && chosenName == snd_mixer_selem_get_name(e));
  int index = 0;
  for (auto* e = snd_mixer_first_elem(m); e != nullptr; e = snd_mixer_elem_next(e)) {
    if (!snd_mixer_selem_is_active(e)) continue;
    if (isMainCapture(e)) {
      if (snd_mixer_selem_has_capture_volume(e)) setCaptureVolume(e, value), ++set;
      if (snd_mixer_selem_has_capture_switch(e))
        snd_mixer_selem_set_capture_switch_all(e, 1), ++set;
      continue;
    }
    if (!isCaptureLine(e)) continue;
    const bool chosen =
        selector == nullptr ? index == line : !named || chosenName == snd_mixer_selem_get_name(e);
    if (snd_mixer_selem_has_capture_volume(e)) setCaptureVolume(e, chosen ? value : 0), ++set;
    if (snd_mixer_selem_has_capture_switch(e))
      snd_mixer_selem_set_capture_switch_all(e, chosen ? 1 : 0), ++set;
    ++index;
  }
  return set;
}

}  // namespace quillet::platform
