// SPDX-License-Identifier: Apache-2.0
// Fuzz target: a line's Codecs setting. Any text gives a list without repeats whose written
// form reads back as the same list.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "media/codec_choice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> problems;
  const std::vector<quillet::codecs::CodecId> order =
      quillet::media::parseCodecList(text, problems);
  for (size_t i = 0; i < order.size(); ++i) {
    if (std::find(order.begin() + static_cast<std::ptrdiff_t>(i) + 1, order.end(), order[i]) !=
        order.end()) {
      std::abort();
    }
  }
  std::vector<std::string> none;
  if (quillet::media::parseCodecList(quillet::media::codecListText(order), none) != order ||
      !none.empty()) {
    std::abort();
  }
  return 0;
}
