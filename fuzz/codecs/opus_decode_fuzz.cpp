// SPDX-License-Identifier: Apache-2.0
// Fuzz target: a stream of Opus payloads into the decoder, in the records quillet-tool
// reads (two length bytes, most significant first, then the packet; length 0 is a lost
// packet, concealed or recovered from the next one). Sample counts and values must stay
// within what the codec promises.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codecs/opus_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillet::codecs;
  static const std::unique_ptr<OpusCodec> codec = OpusCodec::create(OpusSettings{});
  if (!codec) std::abort();
  codec->reset();
  std::vector<int32_t> out(codec->maxConcealedSamples());
  auto checked = [&out](int n, bool mayRefuse) {
    if (n < (mayRefuse ? -1 : 0) || n > static_cast<int>(out.size())) std::abort();
    for (int i = 0; i < n; ++i) {
      if (out[i] < kSampleMin || out[i] > kSampleMax) std::abort();
    }
  };
  size_t at = 0;
  while (at + 2 <= size) {
    const size_t length = std::min<size_t>(data[at] << 8 | data[at + 1], size - at - 2);
    const uint8_t* packet = data + at + 2;
    at += 2 + length;
    if (length == 0) {
      const bool next = at + 2 <= size;
      const size_t nextLength =
          next ? std::min<size_t>(data[at] << 8 | data[at + 1], size - at - 2) : 0;
      checked(codec->decodeLost(next ? data + at + 2 : nullptr, static_cast<int>(nextLength),
                                out.data()),
              false);
    } else {
      checked(codec->decode(packet, static_cast<int>(length), out.data()), true);
    }
  }
  return 0;
}
