// SPDX-License-Identifier: Apache-2.0
// Local network facts (IPv4): private ranges, name resolution with host:port, the host's
// own addresses and netmasks from the interfaces, and whether the network is connected.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/socket.h"

namespace quillet::base {

using platform::Endpoint;

// 10/8, 172.16/12, 192.168/16, 169.254/16 and 127.0.x.x (second byte 0 only).
bool isPrivateAddress(uint32_t address);

// A dotted quad directly, else the first address of the name lookup; 0 on failure.
uint32_t resolveHost(std::string_view host);
// "host[:port]": split at the first colon; the port is decimal, 1 to 65535; without a colon
// the default port. Address 0 when the host does not resolve, address and port 0 (and a log
// line) when the port is not such a number.
Endpoint resolveHostPort(std::string_view text, uint16_t defaultPort);
// Up to 4 addresses: a dotted quad gives itself, a name its first 4 lookup results.
std::vector<uint32_t> resolveHostList(std::string_view host);
// Lenient "a.b.c.d[:port]": digits accumulate into the current byte, '.' moves to the next
// (at most the fourth), ':' starts the port. Valid when three dots were seen.
bool parseAddressText(std::string_view text, uint32_t& address, uint16_t& port);

// One IPv4 interface address.
struct InterfaceAddress {
  std::string name;
  uint32_t address = 0;
  uint32_t netmask = 0;
  bool up = false;
  bool loopback = false;
};
// The IPv4 addresses of the interfaces, in the system's order.
std::vector<InterfaceAddress> interfaceAddresses();

// The IPv6 addresses of the interfaces that are up, in the system's order, loopback and
// link-local ones left out (those are never advertised).
std::vector<std::string> ipv6Addresses();

// The rules of the two address choices, on a given list (the host's addresses in order,
// loopback interfaces left out).
uint32_t pickAdvertisedAddress(const std::vector<uint32_t>& addresses);
uint32_t pickLanAddress(const std::vector<InterfaceAddress>& interfaces);

// The address the host advertises as its own: a public interface address wins over the
// first one; without any address, the LAN address; "127.0.0.1" when there is none at all.
std::string localAddress();
// The address of the interface of the default route; where there is none, the host's
// first address, a later private one with a real netmask (not 255.255.255.255) replacing
// it. 0 when the host has no address besides loopback.
uint32_t lanAddress();
// The local address of the interface that routes to `destination` (the own address of a
// UDP socket connected to it); 0 when there is no route.
uint32_t localAddressTowards(uint32_t destination);
// The netmask of the interface with this address; 0 when none has it.
uint32_t netmaskOf(uint32_t address);
// True when some non-loopback interface is up with an IPv4 address.
bool internetConnected();
// Nothing to dial on this system: always true.
bool attemptConnect();
// Closes the socket if open, creates a UDP socket bound to the port on all interfaces.
// (Call it qualified: platform::bindUdp has the same first arguments.)
bool bindUdp(platform::UniqueFd& socket, uint16_t port);

}  // namespace quillet::base
