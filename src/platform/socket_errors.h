// SPDX-License-Identifier: Apache-2.0
// The ICMP errors a UDP socket is told of: turning their reporting on, taking them from the
// socket's error queue, and what each one says of the destination.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/socket_address.h"

namespace quillet::platform {

// One error the kernel queued for a datagram the socket sent.
struct SocketError {
  enum class Origin : uint8_t { Other, Icmp, Icmp6 };

  SocketAddress destination;  // where the datagram went (an IPv4 one as plain IPv4)
  int error = 0;              // the errno the kernel made of it (ECONNREFUSED, EHOSTUNREACH...)
  Origin origin = Origin::Other;
  uint8_t type = 0;  // of the ICMP or ICMPv6 message
  uint8_t code = 0;

  // The destination cannot be reached: destination unreachable (of any kind but "needs
  // fragmenting") or parameter problem. Time exceeded, source quench, too big: no.
  bool unreachable() const;
  // "port unreachable", "host unreachable", "no route", ... ("ICMP type 11 code 0" for
  // others).
  std::string describe() const;
};

// Asks for the ICMP errors of what the UDP socket sends to be queued (IP_RECVERR and, on
// an IPv6 socket, IPV6_RECVERR). False when that could not be set.
bool enableSocketErrors(int fd);

// Takes up to `max` queued errors without blocking, and clears the socket's pending error,
// so that a poll no longer reports one for them. Empty when none is queued.
std::vector<SocketError> takeSocketErrors(int fd, size_t max);

}  // namespace quillet::platform
