// SPDX-License-Identifier: Apache-2.0
// Fuzz target: arbitrary G.722 payloads (any length, cut anywhere) into the decoder; two
// samples per byte within the internal sample format, and back through the encoder.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codecs/audio_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillet::codecs;
  auto codec = createAudioCodec(CodecId::kG722);
  // The first byte cuts the rest into payloads of 1 .. 256 bytes.
  if (size < 1) return 0;
  const size_t piece = data[0] + size_t{1};
  std::vector<int32_t> out(codec->maxDecodedSamples(static_cast<int>(piece)));
  std::vector<uint8_t> again(codec->maxEncodedBytes(static_cast<int>(out.size())));
  for (size_t at = 1; at < size; at += piece) {
    const int length = static_cast<int>(std::min(piece, size - at));
    const int n = codec->decode(data + at, length, out.data());
    if (n != 2 * length) std::abort();
    for (int i = 0; i < n; ++i) {
      if (out[i] < kSampleMin || out[i] > kSampleMax) std::abort();
    }
    if (codec->encode(out.data(), n, again.data()) != length) std::abort();
  }
  return 0;
}
