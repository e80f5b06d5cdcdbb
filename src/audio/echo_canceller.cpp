// SPDX-License-Identifier: Apache-2.0
// The speexdsp echo canceller behind EchoCanceller.
#include "audio/echo_canceller.h"

#include <speex/speex_echo.h>

namespace quillet::audio {

EchoCanceller::EchoCanceller(uint32_t tailMs, uint32_t rate)
    : rate_(rate == 16000 ? rate : kRate),
      state_(speex_echo_state_init(static_cast<int>(frame()),
                                   static_cast<int>(tailMs * rate_ / 1000))) {
  int speexRate = static_cast<int>(rate_);
  speex_echo_ctl(state_, SPEEX_ECHO_SET_SAMPLING_RATE, &speexRate);
}

EchoCanceller::~EchoCanceller() {
  speex_echo_state_destroy(state_);
}

void EchoCanceller::process(const int16_t* microphone, const int16_t* speaker, int16_t* out) {
  speex_echo_cancellation(state_, microphone, speaker, out);
}

void EchoCanceller::reset() {
  speex_echo_state_reset(state_);
}

}  // namespace quillet::audio
