// SPDX-License-Identifier: Apache-2.0
// Reading a transport's name.
#include "sip/transport_kind.h"

#include "sip/sip_message.h"

namespace quillet::sip {

std::optional<TransportKind> transportFromName(std::string_view name) {
  for (TransportKind kind : {TransportKind::Udp, TransportKind::Tcp, TransportKind::Tls}) {
    if (equalsNoCase(name, paramName(kind))) return kind;
  }
  return std::nullopt;
}

}  // namespace quillet::sip
