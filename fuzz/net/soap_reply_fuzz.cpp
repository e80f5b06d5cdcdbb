// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the element searches that read SOAP replies.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "net/upnp_client.h"

using namespace quillet::net;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const char* name : {"<NewConnectionType", "<NewNATEnabled", "<NewExternalIPAddress"}) {
    const auto element = elementText(text, name);
    const auto value = elementValue(text, name);
    if (element && element->size() > 259) std::abort();
    if (value && (!element || value->size() >= element->size())) std::abort();
  }
  return 0;
}
