// SPDX-License-Identifier: Apache-2.0
// G.722 at 64 kbit/s over spandsp's sub-band ADPCM coder; this file converts between the
// internal sample format and 16-bit samples and keeps the states.
#include "codecs/g722_codec.h"

#include <algorithm>
#include <array>

// clang-format off
#include <spandsp/telephony.h>
#include <spandsp/g722.h>
// clang-format on

namespace quillet::codecs {

namespace {

constexpr int kRate = 64000;
constexpr int kChunk = 320;  // samples converted at a time (20 ms)

struct EncoderFree {
  void operator()(g722_encode_state_t* s) const { g722_encode_free(s); }
};
struct DecoderFree {
  void operator()(g722_decode_state_t* s) const { g722_decode_free(s); }
};

int16_t toPcm16(int32_t v) {
  return static_cast<int16_t>(std::clamp((v + 8) >> 4, -32768, 32767));
}

class G722Codec final : public AudioCodec {
 public:
  G722Codec() { reset(); }
  CodecId id() const override { return CodecId::kG722; }

  void reset() override {
    encoder_.reset(g722_encode_init(nullptr, kRate, 0));
    decoder_.reset(g722_decode_init(nullptr, kRate, 0));
  }

  int encode(const int32_t* samples, int count, uint8_t* out) override {
    if (count <= 0 || !encoder_) return 0;
    int written = 0;
    std::array<int16_t, kChunk> pcm;
    for (int done = 0; done < count; done += kChunk) {
      const int n = std::min(kChunk, count - done);
      std::transform(samples + done, samples + done + n, pcm.begin(), toPcm16);
      // The coder takes samples in pairs: an odd last one is paired with a zero.
      const int even = n + (n & 1);
      if (even != n) pcm[n] = 0;
      written += g722_encode(encoder_.get(), out + written, pcm.data(), even);
    }
    return written;
  }

  int decode(const uint8_t* bytes, int length, int32_t* out) override {
    if (length <= 0 || !decoder_) return 0;
    int written = 0;
    std::array<int16_t, 2 * (kChunk / 2)> pcm;
    for (int done = 0; done < length; done += kChunk / 2) {
      const int n = std::min(kChunk / 2, length - done);
      const int got = g722_decode(decoder_.get(), pcm.data(), bytes + done, n);
      for (int i = 0; i < got; ++i) out[written + i] = pcm[i] * 16;
      written += got;
    }
    return written;
  }

 private:
  std::unique_ptr<g722_encode_state_t, EncoderFree> encoder_;
  std::unique_ptr<g722_decode_state_t, DecoderFree> decoder_;
};

}  // namespace

std::unique_ptr<AudioCodec> createG722Codec() {
  return std::make_unique<G722Codec>();
}

}  // namespace quillet::codecs
