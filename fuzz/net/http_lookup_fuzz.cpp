// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the HTTP address lookup's reading of a reply, fed in two pieces; lines name
// addresses as dotted quads only (no name lookups while fuzzing).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/net_facts.h"
#include "net/http_client.h"
#include "platform/socket.h"

using namespace quillet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  net::HttpAddressScanner scanner([](const std::string& line) {
    uint32_t address = 0;
    return platform::parseDottedQuad(line, address) ? address : 0u;
  });
  const size_t half = size / 2;
  bool found = scanner.feed(text.substr(0, half)) || scanner.feed(text.substr(half));
  found = found || scanner.feed("\n");
  if (found) {
    uint32_t address = 0;
    if (!platform::parseDottedQuad(scanner.address(), address) || address == 0 ||
        base::isPrivateAddress(address)) {
      std::abort();
    }
  }
  (void)net::splitUrl(text);
  return 0;
}
