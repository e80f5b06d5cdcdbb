// SPDX-License-Identifier: Apache-2.0
// G.722 at 64 kbit/s behind AudioCodec: 16000 Hz audio, two samples per payload byte.
#pragma once

#include <memory>

#include "codecs/audio_codec.h"

namespace quillet::codecs {

std::unique_ptr<AudioCodec> createG722Codec();

}  // namespace quillet::codecs
