// SPDX-License-Identifier: Apache-2.0
// What the files of IntercomApp share: the settings store, and the names of the ring
// sound's safety timer and of the talk-back question.
#pragma once

#include <cstdint>

#include "base/settings_store.h"

namespace quillet::app {

inline base::SettingsStore& settings() {
  return base::SettingsStore::global();
}

inline constexpr uint32_t kRingTimer = 6;  // safety limit of the ring sound
inline constexpr const char* kTalkBackTag = "talk-back";

}  // namespace quillet::app
