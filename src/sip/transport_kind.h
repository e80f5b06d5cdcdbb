// SPDX-License-Identifier: Apache-2.0
// The SIP transports (UDP, TCP, TLS) and their names in Via headers, URI parameters and
// settings.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quillet::sip {

enum class TransportKind : uint8_t { Udp, Tcp, Tls };

// "UDP", "TCP", "TLS": the protocol of a Via header.
constexpr std::string_view viaName(TransportKind kind) {
  switch (kind) {
    case TransportKind::Tcp:
      return "TCP";
    case TransportKind::Tls:
      return "TLS";
    case TransportKind::Udp:
      break;
  }
  return "UDP";
}

// "udp", "tcp", "tls": the value of a URI's transport parameter and of the line setting.
constexpr std::string_view paramName(TransportKind kind) {
  switch (kind) {
    case TransportKind::Tcp:
      return "tcp";
    case TransportKind::Tls:
      return "tls";
    case TransportKind::Udp:
      break;
  }
  return "udp";
}

// Whether messages travel over a connection (stream framing, connection reuse).
constexpr bool isStream(TransportKind kind) {
  return kind != TransportKind::Udp;
}

// The port a host without one is reached at: 5061 for TLS, 5060 otherwise.
constexpr uint16_t defaultPort(TransportKind kind) {
  return kind == TransportKind::Tls ? 5061 : 5060;
}

// The transport a name ("udp", "TCP", "tls", any case) stands for; nothing for another text.
std::optional<TransportKind> transportFromName(std::string_view name);

}  // namespace quillet::sip
