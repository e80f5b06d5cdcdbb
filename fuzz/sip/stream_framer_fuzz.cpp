// SPDX-License-Identifier: Apache-2.0
// Fuzz target: framing a SIP connection's byte stream. The same bytes fed at once and fed
// in pieces of a size the input chooses must give the same messages, none over the limit.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "sip/stream_framer.h"

using quillet::sip::StreamFramer;

namespace {

std::vector<std::string> frame(std::string_view bytes, size_t piece) {
  StreamFramer framer;
  std::vector<std::string> items;
  for (size_t at = 0; at < bytes.size(); at += piece) {
    framer.feed(bytes.substr(at, piece));
    for (;;) {
      const StreamFramer::Item item = framer.next();
      if (item == StreamFramer::Item::None) break;
      if (item == StreamFramer::Item::Error) return items;
      if (item == StreamFramer::Item::Message) {
        if (framer.message().size() > StreamFramer::kMaxMessage) std::abort();
        items.push_back(framer.message());
      }
    }
  }
  return items;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = 1 + data[0] % 64;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::vector<std::string> whole = frame(bytes, bytes.size() + 1);
  const std::vector<std::string> pieces = frame(bytes, piece);
  // Keep-alives may be split differently, messages never.
  if (whole != pieces) std::abort();
  return 0;
}
