// SPDX-License-Identifier: Apache-2.0
// EngineEvents: the default reactions of an engine without application events.
#include "sip/engine_events.h"

namespace quillet::sip {

int EngineEvents::Ring(int32_t, int32_t) {
  return 1;
}

void EngineEvents::PlaybackFailed() {
  if (engine_) engine_->HangUp();
}

void EngineEvents::LevelRecordingStopped() {
  if (engine_) engine_->HangUp();
}

void EngineEvents::RecordingStopped() {
  if (engine_) engine_->HangUp();
}

}  // namespace quillet::sip
