// SPDX-License-Identifier: Apache-2.0
// Fuzz target: arbitrary bytes as a WAV file image.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "wav_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillet::tool;
  WavFile wav;
  std::string error;
  const WavStatus status = parseWav(data, size, wav, error);
  if (status == WavStatus::kOk && wav.samples.size() * 2 > size) std::abort();
  if (status != WavStatus::kOk && error.empty()) std::abort();
  describeWavFormat(wav);
  return 0;
}
