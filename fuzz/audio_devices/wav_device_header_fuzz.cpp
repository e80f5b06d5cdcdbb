// SPDX-License-Identifier: Apache-2.0
// Feeds arbitrary bytes to the WAV header parser of the file: devices and converts what it
// accepts, as the capture device would.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/audio_device_wav.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillet::platform;
  auto readAt = [&](uint64_t offset, void* buf, size_t n) -> size_t {
    if (offset >= size) return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, size - offset));
    std::memcpy(buf, data + offset, n);
    return n;
  };
  WavInfo info;
  std::string error;
  if (!parseWavHeader(readAt, size, info, error)) return 0;
  if (info.dataOffset + info.dataBytes > size) __builtin_trap();  // data must lie in the file
  const size_t frames = std::min<size_t>(info.dataBytes / info.blockAlign, 4096);
  std::vector<int16_t> out(frames * info.channels);
  wavFramesToInt16(info, data + info.dataOffset, frames, out.data());
  return 0;
}
