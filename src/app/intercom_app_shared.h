// SPDX-License-Identifier: Apache-2.0
// What the files of IntercomApp share: the settings store, the volume range, and the names of the
// ring sound's safety timer and of the talk-back question.
#pragma once

#include <algorithm>
#include <cstdint>

#include "base/settings_store.h"

namespace quillet::app {

inline base::SettingsStore& settings() {
  return base::SettingsStore::global();
}

// A volume setting within the devices' range (dB).
inline int32_t clampLevel(int32_t level) {
  return std::clamp(level, -127, 127);
}

inline constexpr uint32_t kRingTimer = 6;  // safety limit of the ring sound
inline constexpr const char* kTalkBackTag = "talk-back";

}  // namespace quillet::app
