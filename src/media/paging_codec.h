// SPDX-License-Identifier: Apache-2.0
// The codecs of plain RTP pages: PCMU (0), PCMA (8) and G.722 (9) at their static payload
// types, Opus at a dynamic one the group is set up with, coded and played at 16000 Hz.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "codecs/audio_codec.h"

namespace quillet::media {

constexpr int kPageOpusPayloadType = codecs::kOpusOfferedPayloadType;  // unless set otherwise
constexpr uint32_t kPageOpusRate = 16000;

// 96..127: the payload types a group may give Opus.
bool isDynamicPayloadType(int payloadType);
// The codec of a plain page's payload type; none for a type not played.
std::optional<codecs::CodecId> plainPageCodec(uint8_t payloadType, int opusPayloadType);
// The payload type a plain page in `codec` is sent with.
int plainPagePayloadType(codecs::CodecId codec, int opusPayloadType);
// The rate a page in `codec` is coded and played at (8000 Hz, 16000 Hz for G.722 and Opus).
uint32_t pageAudioRate(codecs::CodecId codec);
// The codec's state for one page (Opus at kPageOpusRate); nullptr when it cannot be made.
std::unique_ptr<codecs::AudioCodec> createPageCodec(codecs::CodecId codec);

}  // namespace quillet::media
