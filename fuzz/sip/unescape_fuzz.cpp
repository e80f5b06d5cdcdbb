// SPDX-License-Identifier: Apache-2.0
// Fuzz target: unescape, the escape round trip, and a Replaces value read from the text.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sip/sip_message.h"
#include "sip/sip_uri.h"

using namespace quillet::sip;

namespace {

bool validUtf8(std::string_view text) {
  // Valid text is reproduced unchanged by the parser's own cut.
  size_t chars = 0;
  for (char c : text) chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return cutChars(text, chars).size() == text.size() && unescape(text) == text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  // Any text unescapes without reading past its end.
  (void)unescape(text);

  // Escaping then unescaping gives back any text without "%" or NUL bytes that is valid
  // UTF-8 ("%00" is dropped; "+" stays itself).
  std::string escaped = uriEscape(text);
  for (char c : escaped) {
    if (static_cast<unsigned char>(c) <= 32 || static_cast<unsigned char>(c) > 127) std::abort();
  }
  if (text.find_first_of(std::string_view("%\0", 2)) == std::string_view::npos && validUtf8(text) &&
      unescape(escaped) != text) {
    std::abort();
  }
  // A Replaces value: its Call-ID ends at the first ";", whatever follows.
  const ReplacesTarget replaces = parseReplaces(text);
  if (replaces.callId.find(';') != std::string::npos) std::abort();
  return 0;
}
