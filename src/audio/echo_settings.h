// SPDX-License-Identifier: Apache-2.0
// The settings of the call's microphone filters: whether echo suppression, noise
// suppression and AutoGain are used, and the learned echo values carried from call to call.
#pragma once

#include "audio/echo_suppressor.h"
#include "base/settings_store.h"

namespace quillet::audio {

// "Settings/UseEchoCancellation" (default on).
bool useEchoCancellation(base::SettingsStore& store);
// "Settings/UseEchoCanceller" (default on): the linear canceller in front of the suppressor.
bool useEchoCanceller(base::SettingsStore& store);
// "Settings/UseNoiseSuppression" (default on): the noise suppressor behind the canceller
// (or after the suppressor alone), or a stage of its own without echo control.
bool useNoiseSuppression(base::SettingsStore& store);
// "Settings/UseAGC" (default on).
bool useAutoGain(base::SettingsStore& store);

// Reads "AudioProcess/NoiseGateBand1..3", "AudioProcess/EchoBand1..3" and
// "SIP/EchoCancellation"; the config stores the learned values back into the same store
// when the suppressor goes (the store must outlive the suppressor).
EchoConfig loadEchoConfig(base::SettingsStore& store);
void storeEchoLearned(base::SettingsStore& store, const EchoLearned& learned);

}  // namespace quillet::audio
