// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the discovery answer's LOCATION header and the services of a description.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "net/http_client.h"
#include "net/upnp_client.h"

using namespace quillet::net;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto location = ssdpLocation(text)) {
    if (location->empty() || location->size() > 259) std::abort();
    const UrlParts parts = splitUrl(*location);
    if (parts.host.size() > 259) std::abort();
  }
  for (const char* service : {"WANIPConnection:1", "WANPPPConnection:1"}) {
    if (const auto found = findUpnpService(text, "192.168.1.1:5000", service)) {
      if (found->controlUrl.size() > 259 || found->name != service) std::abort();
    }
  }
  return 0;
}
