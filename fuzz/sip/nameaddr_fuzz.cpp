// SPDX-License-Identifier: Apache-2.0
// Fuzz target: parseNameAddr, stripParameters and list splitting.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sip/sip_uri.h"

using namespace quillet::sip;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  NameAddr na = parseNameAddr(text);
  if (na.uri.find(':') == std::string::npos) std::abort();  // a URI always has a scheme
  (void)paramValue(na.params, "tag");
  if (stripParameters(text).size() > size) std::abort();
  for (const std::string& element : splitList(text)) (void)parseNameAddr(element);
  return 0;
}
