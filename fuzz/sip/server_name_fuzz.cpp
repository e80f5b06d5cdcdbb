// SPDX-License-Identifier: Apache-2.0
// Fuzz target: reading the server part of a URI for the server location, with and without
// a transport forced by the line.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sip/server_locator.h"

using namespace quillet::sip;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (std::optional<TransportKind> forced :
       {std::optional<TransportKind>(), std::optional(TransportKind::Udp),
        std::optional(TransportKind::Tls)}) {
    std::string error;
    const std::optional<ServerName> name = readServerName(text, forced, error);
    if (name.has_value() == !error.empty()) std::abort();  // a name, or a reason
    if (!name) continue;
    if (name->host.empty() || name->host.size() > 253) std::abort();
    if (name->port && *name->port == 0) std::abort();
    if (name->secure && name->transport != TransportKind::Tls) std::abort();
    if (forced && !name->secure && name->transport != forced) std::abort();
  }
  return 0;
}
