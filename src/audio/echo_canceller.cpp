// SPDX-License-Identifier: Apache-2.0
// The speexdsp echo canceller behind EchoCanceller.
#include "audio/echo_canceller.h"

#include <speex/speex_echo.h>

namespace quillet::audio {

EchoCanceller::EchoCanceller(uint32_t tailMs)
    : state_(speex_echo_state_init(static_cast<int>(kFrame),
                                   static_cast<int>(tailMs * kRate / 1000))) {
  int rate = static_cast<int>(kRate);
  speex_echo_ctl(state_, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
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
