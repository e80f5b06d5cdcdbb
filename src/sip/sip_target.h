// SPDX-License-Identifier: Apache-2.0
// SipTarget: where a message goes — the address, the transport, the name the server was
// known by (what a TLS certificate must name) and, for an answer, the connection its
// request came on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/socket_address.h"
#include "sip/transport_kind.h"

namespace quillet::sip {

struct TlsSettings;

struct SipTarget {
  platform::SocketAddress address;
  TransportKind transport = TransportKind::Udp;
  std::string serverName;       // TLS: the host name the certificate must carry; empty: none
  uint64_t connection = 0;      // the connection to answer on (0: any to that address)
  bool transportNamed = false;  // the URI or the line chose the transport (not by default)
  // The TLS settings of the line a call's request goes for; null: those of the server's
  // line, or the defaults.
  std::shared_ptr<const TlsSettings> tls;

  bool valid() const { return address.valid(); }
};

// A UDP target (what every destination was before connections).
inline SipTarget udpTarget(const platform::SocketAddress& address) {
  SipTarget target;
  target.address = address;
  return target;
}

}  // namespace quillet::sip
