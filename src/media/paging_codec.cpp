// SPDX-License-Identifier: Apache-2.0
// The codecs of plain RTP pages and their payload types.
#include "media/paging_codec.h"

#include "codecs/opus_codec.h"

namespace quillet::media {

bool isDynamicPayloadType(int payloadType) {
  return payloadType >= 96 && payloadType <= 127;
}

std::optional<codecs::CodecId> plainPageCodec(uint8_t payloadType, int opusPayloadType) {
  switch (payloadType) {
    case 0:
      return codecs::CodecId::kPcmu;
    case 8:
      return codecs::CodecId::kPcma;
    case 9:
      return codecs::CodecId::kG722;
    default:
      if (payloadType == opusPayloadType) return codecs::CodecId::kOpus;
      return std::nullopt;
  }
}

int plainPagePayloadType(codecs::CodecId codec, int opusPayloadType) {
  return codec == codecs::CodecId::kOpus ? opusPayloadType : codecs::codecInfo(codec).payloadType;
}

uint32_t pageAudioRate(codecs::CodecId codec) {
  return codec == codecs::CodecId::kOpus
             ? kPageOpusRate
             : static_cast<uint32_t>(codecs::codecInfo(codec).sampleRate);
}

std::unique_ptr<codecs::AudioCodec> createPageCodec(codecs::CodecId codec) {
  if (codec != codecs::CodecId::kOpus) return codecs::createAudioCodec(codec);
  codecs::OpusSettings settings;
  settings.sampleRate = static_cast<int>(kPageOpusRate);
  settings.maxAudioRate = static_cast<int>(kPageOpusRate);
  settings.inbandFec = false;  // nobody asks for a lost page packet again
  return codecs::OpusCodec::create(settings);
}

}  // namespace quillet::media
