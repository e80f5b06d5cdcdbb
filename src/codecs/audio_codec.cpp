// SPDX-License-Identifier: Apache-2.0
// The codec table and the AudioCodec implementations over the plain codec functions.
#include "codecs/audio_codec.h"

#include <algorithm>

#include "codecs/g711.h"
#include "codecs/g722_codec.h"
#include "codecs/g726.h"
#include "codecs/gsm610.h"
#include "codecs/opus_codec.h"

namespace quillet::codecs {

namespace {

constexpr CodecInfo kCodecs[] = {
    {CodecId::kPcmu, "pcmu", "PCMU/8000", 0, 160, 8000, 8000, 160},
    {CodecId::kPcma, "pcma", "PCMA/8000", 8, 160, 8000, 8000, 160},
    {CodecId::kGsm, "gsm", "GSM/8000", 3, kGsmFrameBytes, 8000, 8000, 160},
    {CodecId::kG726_32, "g726-32", "G726-32/8000", kG726OfferedPayloadType, 80, 8000, 8000, 160},
    {CodecId::kG726_32Aal2, "aal2-g726-32", "AAL2-G726-32/8000", kG726Aal2OfferedPayloadType, 80,
     8000, 8000, 160},
    // G.722 keeps the 8000 Hz RTP clock of its first definition for 16000 Hz audio.
    {CodecId::kG722, "g722", "G722/8000", 9, 160, 16000, 8000, 320},
    {CodecId::kOpus, "opus", "opus/48000/2", kOpusOfferedPayloadType, 0, 48000, 48000, 960},
};

class MuLawCodec final : public AudioCodec {
 public:
  CodecId id() const override { return CodecId::kPcmu; }
  void reset() override {}
  int encode(const int32_t* samples, int count, uint8_t* out) override {
    if (count <= 0) return 0;
    muLawEncodeBlock(samples, count, out);
    return count;
  }
  int decode(const uint8_t* bytes, int length, int32_t* out) override {
    if (length <= 0) return 0;
    muLawDecodeBlock(bytes, length, out);
    return length;
  }
};

class ALawCodec final : public AudioCodec {
 public:
  CodecId id() const override { return CodecId::kPcma; }
  void reset() override {}
  int encode(const int32_t* samples, int count, uint8_t* out) override {
    if (count <= 0) return 0;
    aLawEncodeBlock(samples, count, out);
    return count;
  }
  int decode(const uint8_t* bytes, int length, int32_t* out) override {
    if (length <= 0) return 0;
    aLawDecodeBlock(bytes, length, out);
    return length;
  }
};

class G726Codec final : public AudioCodec {
 public:
  explicit G726Codec(G726Packing packing) : packing_(packing) { reset(); }
  CodecId id() const override {
    return packing_ == G726Packing::kAal2 ? CodecId::kG726_32Aal2 : CodecId::kG726_32;
  }
  void reset() override {
    g726Reset(encoder_);
    g726Reset(decoder_);
  }
  int encode(const int32_t* samples, int count, uint8_t* out) override {
    return count <= 0 ? 0 : g726Encode(encoder_, packing_, samples, count, out);
  }
  int decode(const uint8_t* bytes, int length, int32_t* out) override {
    return length <= 0 ? 0 : g726Decode(decoder_, packing_, bytes, length, out);
  }

 private:
  G726Packing packing_;
  G726State encoder_;
  G726State decoder_;
};

class GsmCodec final : public AudioCodec {
 public:
  GsmCodec() { reset(); }
  CodecId id() const override { return CodecId::kGsm; }
  void reset() override {
    gsmResetEncoder(encoder_);
    gsmResetDecoder(decoder_);
  }
  int encode(const int32_t* samples, int count, uint8_t* out) override {
    int written = 0;
    for (int done = 0; done < count; done += kGsmFrameSamples) {
      const int32_t* frame = samples + done;
      int32_t padded[kGsmFrameSamples];
      if (count - done < kGsmFrameSamples) {
        std::fill(std::copy(frame, samples + count, padded), padded + kGsmFrameSamples, 0);
        frame = padded;
      }
      gsmEncodeFrame(encoder_, frame, out + written);
      written += kGsmFrameBytes;
    }
    return written;
  }
  int decode(const uint8_t* bytes, int length, int32_t* out) override {
    int written = 0;
    for (int done = 0; done + kGsmFrameBytes <= length; done += kGsmFrameBytes) {
      gsmDecodeFrame(decoder_, bytes + done, out + written);
      written += kGsmFrameSamples;
    }
    return written;
  }

 private:
  GsmEncoderState encoder_;
  GsmDecoderState decoder_;
};

}  // namespace

const CodecInfo& codecInfo(CodecId id) {
  for (const CodecInfo& info : kCodecs) {
    if (info.id == id) return info;
  }
  return kCodecs[0];  // unreachable: every CodecId has a row
}

std::optional<CodecId> codecByName(std::string_view name) {
  for (const CodecInfo& info : kCodecs) {
    if (name == info.name) return info.id;
  }
  return std::nullopt;
}

std::optional<CodecId> codecForPayloadType(int payloadType, int g726PayloadType,
                                           int g726Aal2PayloadType) {
  if (payloadType < 0) return std::nullopt;
  if (payloadType == g726PayloadType) return CodecId::kG726_32;
  if (payloadType == g726Aal2PayloadType) return CodecId::kG726_32Aal2;
  switch (payloadType) {
    case 0:
      return CodecId::kPcmu;
    case 8:
      return CodecId::kPcma;
    case 3:
      return CodecId::kGsm;
    default:
      return std::nullopt;
  }
}

int AudioCodec::decodeLost(const uint8_t*, int, int32_t*) {
  return 0;
}

int AudioCodec::maxEncodedBytes(int count) const {
  if (count <= 0) return 0;
  switch (id()) {
    case CodecId::kG726_32:
    case CodecId::kG726_32Aal2:
    case CodecId::kG722:
      return (count + 1) / 2;
    case CodecId::kGsm:
      return (count + kGsmFrameSamples - 1) / kGsmFrameSamples * kGsmFrameBytes;
    default:
      return count;
  }
}

int AudioCodec::maxDecodedSamples(int length) const {
  if (length <= 0) return 0;
  switch (id()) {
    case CodecId::kG726_32:
    case CodecId::kG726_32Aal2:
    case CodecId::kG722:
      return 2 * length;
    case CodecId::kGsm:
      return length / kGsmFrameBytes * kGsmFrameSamples;
    default:
      return length;
  }
}

std::unique_ptr<AudioCodec> createAudioCodec(CodecId id) {
  switch (id) {
    case CodecId::kPcmu:
      return std::make_unique<MuLawCodec>();
    case CodecId::kPcma:
      return std::make_unique<ALawCodec>();
    case CodecId::kGsm:
      return std::make_unique<GsmCodec>();
    case CodecId::kG726_32:
      return std::make_unique<G726Codec>(G726Packing::kRfc3551);
    case CodecId::kG726_32Aal2:
      return std::make_unique<G726Codec>(G726Packing::kAal2);
    case CodecId::kG722:
      return createG722Codec();
    case CodecId::kOpus:
      return OpusCodec::create(OpusSettings{});
  }
  return nullptr;
}

}  // namespace quillet::codecs
