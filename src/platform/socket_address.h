// SPDX-License-Identifier: Apache-2.0
// SocketAddress: an IPv4 or IPv6 address with its port, as the SIP and RTP sockets send to
// and receive from. An IPv4-mapped IPv6 address (what a dual-stack socket reports for an
// IPv4 peer) is kept as the IPv4 address it stands for.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillet::platform {

struct Endpoint;

class SocketAddress {
 public:
  SocketAddress() = default;
  // IPv4 address in network order, port in host order.
  static SocketAddress ipv4(uint32_t address, uint16_t port);
  static SocketAddress fromEndpoint(const Endpoint& endpoint);
  // From what the socket calls returned; empty for other families.
  static SocketAddress fromSockaddr(const sockaddr* address, socklen_t length);
  // A numeric host ("192.0.2.7", "2001:db8::7" or "[2001:db8::7]"); nothing for names and
  // anything else.
  static std::optional<SocketAddress> parse(std::string_view host, uint16_t port);

  int family() const { return storage_.any.sa_family; }
  bool isIpv4() const { return family() == AF_INET; }
  bool isIpv6() const { return family() == AF_INET6; }
  // A family, an address other than the unspecified one, and a port.
  bool valid() const;
  bool isUnspecified() const;
  bool isLoopback() const;
  // fe80::/10: never advertised, only usable with its interface.
  bool isLinkLocal() const;

  uint16_t port() const;
  void setPort(uint16_t port);
  // The IPv4 address in network order; 0 for IPv6.
  uint32_t ipv4Address() const;
  // "192.0.2.7" or "2001:db8::7".
  std::string host() const;
  // As written in URIs, Via and host:port texts: "192.0.2.7" or "[2001:db8::7]".
  std::string uriHost() const;
  // uriHost() ":" port
  std::string toString() const;
  // Same family and address, whatever the port.
  bool sameHost(const SocketAddress& other) const;

  const sockaddr* get() const { return &storage_.any; }
  socklen_t length() const;

  bool operator==(const SocketAddress& other) const;

 private:
  union Storage {
    sockaddr any;
    sockaddr_in v4;
    sockaddr_in6 v6;
  };
  Storage storage_{};
};

// A host text with the brackets of an IPv6 reference taken off ("[::1]" -> "::1").
std::string_view withoutBrackets(std::string_view host);
// A host as written in URIs and Via: an IPv6 address gets brackets, others stay as they are.
std::string bracketedHost(std::string_view host);

}  // namespace quillet::platform
