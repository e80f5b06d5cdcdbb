// SPDX-License-Identifier: Apache-2.0
// Fuzz target: arbitrary payloads into every decoder (the first byte picks the codec);
// the output must stay within the internal sample format.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codecs/audio_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillet::codecs;
  if (size < 1) return 0;
  const CodecId ids[] = {CodecId::kPcmu, CodecId::kPcma, CodecId::kGsm, CodecId::kG726_32,
                         CodecId::kG726_32Aal2};
  auto codec = createAudioCodec(ids[data[0] % 5]);
  const int length = static_cast<int>(size - 1);
  std::vector<int32_t> out(codec->maxDecodedSamples(length));
  const int written = codec->decode(data + 1, length, out.data());
  if (written < 0 || written > static_cast<int>(out.size())) std::abort();
  for (int i = 0; i < written; ++i) {
    if (out[i] < kSampleMin || out[i] > kSampleMax) std::abort();
  }
  // And the decoded audio back through the encoder of the same codec.
  std::vector<uint8_t> again(codec->maxEncodedBytes(written));
  codec->encode(out.data(), written, again.data());
  return 0;
}
