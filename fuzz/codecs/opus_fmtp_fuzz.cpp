// SPDX-License-Identifier: Apache-2.0
// Fuzz target: arbitrary text as the parameters of an Opus "a=fmtp" line. Every value
// read stays in its range, every problem line is short, and the encoder settings made
// from the line are usable.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "codecs/opus_fmtp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillet::codecs;
  const OpusFmtp fmtp = parseOpusFmtp(std::string_view(reinterpret_cast<const char*>(data), size));
  if (fmtp.maxPlaybackRate < 8000 || fmtp.maxPlaybackRate > 48000) std::abort();
  if (fmtp.spropMaxCaptureRate < 8000 || fmtp.spropMaxCaptureRate > 48000) std::abort();
  if (fmtp.maxAverageBitRate != 0 &&
      (fmtp.maxAverageBitRate < 6000 || fmtp.maxAverageBitRate > 510000)) {
    std::abort();
  }
  for (const std::string& line : fmtp.problems) {
    if (line.empty() || line.size() > 200) std::abort();
  }
  if (!checkOpusSettings(opusSettingsFor(fmtp, OpusSettings{})).empty()) std::abort();
  return 0;
}
