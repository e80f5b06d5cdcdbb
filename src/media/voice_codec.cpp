// SPDX-License-Identifier: Apache-2.0
// VoiceCodec: codec states of one direction, chosen by payload type.
#include "media/voice_codec.h"

#include "codecs/audio_codec.h"

namespace quillet::media {

void convertRate(const int32_t* samples, size_t count, uint32_t from, uint32_t to,
                 std::vector<int32_t>& out) {
  if (count == 0 || from == 0 || to == 0) return;
  const uint64_t made = count * uint64_t{to} / from;
  for (uint64_t i = 0; i < made; ++i) {
    const uint64_t at = i * from;  // in units of 1/to input samples
    const size_t index = static_cast<size_t>(at / to);
    const auto part = static_cast<int64_t>(at % to);
    const int64_t a = samples[index];
    const int64_t b = index + 1 < count ? samples[index + 1] : a;
    out.push_back(static_cast<int32_t>(a + (b - a) * part / to));
  }
}

struct VoiceCodec::State {
  std::unique_ptr<codecs::AudioCodec> pcmu = codecs::createAudioCodec(codecs::CodecId::kPcmu);
  std::unique_ptr<codecs::AudioCodec> pcma = codecs::createAudioCodec(codecs::CodecId::kPcma);
  std::unique_ptr<codecs::AudioCodec> gsm = codecs::createAudioCodec(codecs::CodecId::kGsm);
  std::unique_ptr<codecs::AudioCodec> g726 = codecs::createAudioCodec(codecs::CodecId::kG726_32);
  std::unique_ptr<codecs::AudioCodec> g726Aal2 =
      codecs::createAudioCodec(codecs::CodecId::kG726_32Aal2);
};

VoiceCodec::VoiceCodec() : state_(std::make_unique<State>()) {}
VoiceCodec::~VoiceCodec() = default;

void VoiceCodec::reset() {
  state_->gsm->reset();
  state_->g726->reset();
  state_->g726Aal2->reset();
}

size_t VoiceCodec::encodeFrame(uint8_t payloadType, uint8_t g726Type, uint8_t g726Aal2Type,
                               const int32_t* samples, uint8_t* out) {
  auto id = codecs::codecForPayloadType(payloadType, g726Type == 255 ? -1 : g726Type,
                                        g726Aal2Type == 255 ? -1 : g726Aal2Type);
  if (!id) return 0;
  codecs::AudioCodec* codec = *id == codecs::CodecId::kPcmu      ? state_->pcmu.get()
                              : *id == codecs::CodecId::kPcma    ? state_->pcma.get()
                              : *id == codecs::CodecId::kGsm     ? state_->gsm.get()
                              : *id == codecs::CodecId::kG726_32 ? state_->g726.get()
                                                                 : state_->g726Aal2.get();
  int bytes = codec->encode(samples, static_cast<int>(kFrameSamples), out);
  return bytes > 0 ? static_cast<size_t>(bytes) : 0;
}

void VoiceCodec::decodeG711(uint8_t payloadType, const uint8_t* bytes, size_t length,
                            int32_t* out) {
  auto& codec = payloadType == kPayloadPcmu ? state_->pcmu : state_->pcma;
  codec->decode(bytes, static_cast<int>(length), out);
}

void VoiceCodec::decodeGsm(const uint8_t* frame, int32_t* out) {
  state_->gsm->decode(frame, static_cast<int>(kGsmFrameBytes), out);
}

void VoiceCodec::decodeG726(bool aal2, const uint8_t* bytes, size_t length, int32_t* out) {
  (aal2 ? state_->g726Aal2 : state_->g726)->decode(bytes, static_cast<int>(length), out);
}

}  // namespace quillet::media
