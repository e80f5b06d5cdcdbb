// SPDX-License-Identifier: Apache-2.0
// SocketAddress over the POSIX address structures.
#include "platform/socket_address.h"

#include <arpa/inet.h>

#include <cstring>

#include "platform/socket.h"

namespace quillet::platform {

SocketAddress SocketAddress::ipv4(uint32_t address, uint16_t port) {
  SocketAddress out;
  out.storage_.v4.sin_family = AF_INET;
  out.storage_.v4.sin_addr.s_addr = address;
  out.storage_.v4.sin_port = htons(port);
  return out;
}

SocketAddress SocketAddress::fromEndpoint(const Endpoint& endpoint) {
  return ipv4(endpoint.address, endpoint.port);
}

SocketAddress SocketAddress::fromSockaddr(const sockaddr* address, socklen_t length) {
  SocketAddress out;
  if (address == nullptr) return out;
  if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    std::memcpy(&out.storage_.v4, address, sizeof(sockaddr_in));
  } else if (address->sa_family == AF_INET6 &&
             length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    sockaddr_in6 v6;
    std::memcpy(&v6, address, sizeof v6);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
      uint32_t v4;
      std::memcpy(&v4, &v6.sin6_addr.s6_addr[12], sizeof v4);
      return ipv4(v4, ntohs(v6.sin6_port));
    }
    out.storage_.v6 = v6;
  }
  return out;
}

std::optional<SocketAddress> SocketAddress::parse(std::string_view host, uint16_t port) {
  const std::string text(withoutBrackets(host));
  SocketAddress out;
  if (text.size() == host.size() &&
      ::inet_pton(AF_INET, text.c_str(), &out.storage_.v4.sin_addr) == 1) {
    out.storage_.v4.sin_family = AF_INET;
    out.storage_.v4.sin_port = htons(port);
    return out;
  }
  if (::inet_pton(AF_INET6, text.c_str(), &out.storage_.v6.sin6_addr) == 1) {
    out.storage_.v6.sin6_family = AF_INET6;
    out.storage_.v6.sin6_port = htons(port);
    if (IN6_IS_ADDR_V4MAPPED(&out.storage_.v6.sin6_addr)) {
      return fromSockaddr(out.get(), out.length());
    }
    return out;
  }
  return std::nullopt;
}

bool SocketAddress::valid() const {
  return (isIpv4() || isIpv6()) && !isUnspecified() && port() != 0;
}

bool SocketAddress::isUnspecified() const {
  if (isIpv4()) return storage_.v4.sin_addr.s_addr == 0;
  if (isIpv6()) return IN6_IS_ADDR_UNSPECIFIED(&storage_.v6.sin6_addr);
  return true;
}

bool SocketAddress::isLoopback() const {
  if (isIpv4()) return (ntohl(storage_.v4.sin_addr.s_addr) >> 24) == 127;
  return isIpv6() && IN6_IS_ADDR_LOOPBACK(&storage_.v6.sin6_addr);
}

bool SocketAddress::isLinkLocal() const {
  return isIpv6() && IN6_IS_ADDR_LINKLOCAL(&storage_.v6.sin6_addr);
}

uint16_t SocketAddress::port() const {
  if (isIpv4()) return ntohs(storage_.v4.sin_port);
  if (isIpv6()) return ntohs(storage_.v6.sin6_port);
  return 0;
}

void SocketAddress::setPort(uint16_t port) {
  if (isIpv4()) storage_.v4.sin_port = htons(port);
  if (isIpv6()) storage_.v6.sin6_port = htons(port);
}

uint32_t SocketAddress::ipv4Address() const {
  return isIpv4() ? storage_.v4.sin_addr.s_addr : 0;
}

std::string SocketAddress::host() const {
  char text[INET6_ADDRSTRLEN] = "";
  if (isIpv4()) {
    ::inet_ntop(AF_INET, &storage_.v4.sin_addr, text, sizeof text);
  } else if (isIpv6()) {
    ::inet_ntop(AF_INET6, &storage_.v6.sin6_addr, text, sizeof text);
  }
  return text;
}

std::string SocketAddress::uriHost() const {
  return isIpv6() ? "[" + host() + "]" : host();
}

std::string SocketAddress::toString() const {
  return uriHost() + ":" + std::to_string(port());
}

bool SocketAddress::sameHost(const SocketAddress& other) const {
  if (family() != other.family()) return false;
  if (isIpv4()) return storage_.v4.sin_addr.s_addr == other.storage_.v4.sin_addr.s_addr;
  if (isIpv6()) {
    return IN6_ARE_ADDR_EQUAL(&storage_.v6.sin6_addr, &other.storage_.v6.sin6_addr) &&
           storage_.v6.sin6_scope_id == other.storage_.v6.sin6_scope_id;
  }
  return true;
}

socklen_t SocketAddress::length() const {
  if (isIpv4()) return sizeof(sockaddr_in);
  if (isIpv6()) return sizeof(sockaddr_in6);
  return 0;
}

bool SocketAddress::operator==(const SocketAddress& other) const {
  return sameHost(other) && port() == other.port();
}

std::string_view withoutBrackets(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    return host.substr(1, host.size() - 2);
  }
  return host;
}

std::string bracketedHost(std::string_view host) {
  if (host.find(':') != std::string_view::npos && !host.starts_with('[')) {
    return "[" + std::string(host) + "]";
  }
  return std::string(host);
}

}  // namespace quillet::platform
