// SPDX-License-Identifier: Apache-2.0
// Reading and storing the microphone filters' settings.
#include "audio/echo_settings.h"

#include <string>

namespace quillet::audio {

namespace {

constexpr char kSettings[] = "Settings";
constexpr char kAudioProcess[] = "AudioProcess";

std::string bandKey(const char* prefix, int band) {
  return prefix + std::to_string(band);
}

}  // namespace

bool useEchoCancellation(base::SettingsStore& store) {
  return store.readInt(kSettings, "UseEchoCancellation", 1) != 0;
}

bool useEchoCanceller(base::SettingsStore& store) {
  return store.readInt(kSettings, "UseEchoCanceller", 1) != 0;
}

bool useNoiseSuppression(base::SettingsStore& store) {
  return store.readInt(kSettings, "UseNoiseSuppression", 1) != 0;
}

bool useAutoGain(base::SettingsStore& store) {
  return store.readInt(kSettings, "UseAGC", 1) != 0;
}

EchoConfig loadEchoConfig(base::SettingsStore& store) {
  EchoConfig config;
  for (int b = 0; b < 3; ++b) {
    config.learned.noiseGate[static_cast<size_t>(b)] =
        store.readInt(kAudioProcess, bandKey("NoiseGateBand", b + 1), 0);
    config.learned.echo[static_cast<size_t>(b)] =
        store.readInt(kAudioProcess, bandKey("EchoBand", b + 1), 0);
  }
  config.fastAdaptation = store.readInt("SIP", "EchoCancellation", 1) != 0;
  config.store = [&store](const EchoLearned& learned) { storeEchoLearned(store, learned); };
  return config;
}

void storeEchoLearned(base::SettingsStore& store, const EchoLearned& learned) {
  for (int b = 0; b < 3; ++b) {
    store.writeInt(kAudioProcess, bandKey("NoiseGateBand", b + 1),
                   learned.noiseGate[static_cast<size_t>(b)]);
    store.writeInt(kAudioProcess, bandKey("EchoBand", b + 1), learned.echo[static_cast<size_t>(b)]);
  }
}

}  // namespace quillet::audio
