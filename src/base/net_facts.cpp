// SPDX-License-Identifier: Apache-2.0
// Local network facts over getaddrinfo and getifaddrs.
#include "base/net_facts.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>

#include "base/log.h"

namespace quillet::base {

using platform::ipv4Byte;

bool isPrivateAddress(uint32_t address) {
  uint8_t a = ipv4Byte(address, 0);
  uint8_t b = ipv4Byte(address, 1);
  return a == 10 || (a == 172 && b >= 16 && b <= 31) || (a == 192 && b == 168) ||
         (a == 169 && b == 254) || (a == 127 && b == 0);
}

uint32_t resolveHost(std::string_view host) {
  std::vector<uint32_t> found = platform::lookupIpv4(std::string(host));
  return found.empty() ? 0 : found.front();
}

Endpoint resolveHostPort(std::string_view text, uint16_t defaultPort) {
  Endpoint out;
  out.port = defaultPort;
  size_t colon = text.find(':');
  std::string_view host = text.substr(0, colon);
  if (colon != std::string_view::npos) {
    // A port that is no port gives no endpoint: read modulo 65536, "server:70000" would
    // quietly reach another service.
    std::string_view digits = text.substr(colon + 1);
    uint32_t port = 0;
    bool valid = !digits.empty() && digits.size() <= 5;
    for (char c : digits) {
      valid = valid && c >= '0' && c <= '9';
      if (valid) port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    if (!valid || port == 0 || port > 65535) {
      logFormat(LogLevel::Error, "Address %.*s: the port is not a number from 1 to 65535",
                static_cast<int>(text.size()), text.data());
      return Endpoint{};
    }
    out.port = static_cast<uint16_t>(port);
  }
  out.address = resolveHost(host);
  return out;
}

std::vector<uint32_t> resolveHostList(std::string_view host) {
  std::vector<uint32_t> found = platform::lookupIpv4(std::string(host));
  if (found.size() > 4) {
    found.resize(4);
  }
  return found;
}

bool parseAddressText(std::string_view text, uint32_t& address, uint16_t& port) {
  uint8_t bytes[4] = {0, 0, 0, 0};
  int index = 0;
  int dots = 0;
  bool inPort = false;
  uint32_t portValue = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      if (inPort) {
        portValue = (portValue * 10 + static_cast<uint32_t>(c - '0')) & 0xFFFFu;
      } else {
        bytes[index] = static_cast<uint8_t>(bytes[index] * 10 + (c - '0'));
      }
    } else if (c == '.' && !inPort) {
      ++dots;
      if (index < 3) {
        ++index;
      }
    } else if (c == ':') {
      inPort = true;
    }
  }
  address = platform::ipv4(bytes[0], bytes[1], bytes[2], bytes[3]);
  port = static_cast<uint16_t>(portValue);
  return dots >= 3;
}

std::vector<InterfaceAddress> interfaceAddresses() {
  std::vector<InterfaceAddress> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    return out;
  }
  for (ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) {
      continue;
    }
    InterfaceAddress entry;
    entry.name = ifa->ifa_name != nullptr ? ifa->ifa_name : "";
    entry.address = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr;
    if (ifa->ifa_netmask != nullptr) {
      entry.netmask = reinterpret_cast<const sockaddr_in*>(ifa->ifa_netmask)->sin_addr.s_addr;
    }
    entry.up = (ifa->ifa_flags & IFF_UP) != 0;
    entry.loopback = (ifa->ifa_flags & IFF_LOOPBACK) != 0;
    out.push_back(std::move(entry));
  }
  ::freeifaddrs(list);
  return out;
}

std::vector<std::string> ipv6Addresses() {
  std::vector<std::string> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    return out;
  }
  for (ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET6 ||
        (ifa->ifa_flags & IFF_UP) == 0) {
      continue;
    }
    const platform::SocketAddress address =
        platform::SocketAddress::fromSockaddr(ifa->ifa_addr, sizeof(sockaddr_in6));
    if (!address.isIpv6() || address.isLoopback() || address.isLinkLocal()) {
      continue;
    }
    const std::string text = address.host();
    if (std::find(out.begin(), out.end(), text) == out.end()) {
      out.push_back(text);
    }
  }
  ::freeifaddrs(list);
  return out;
}

namespace {

bool usable(uint32_t address) {
  uint8_t first = ipv4Byte(address, 0);
  return first != 0 && first != 127;
}

// The host's own addresses, as a name lookup of the host would give them: interfaces that
// are up, loopback left out.
std::vector<InterfaceAddress> hostInterfaces() {
  std::vector<InterfaceAddress> out;
  for (InterfaceAddress& entry : interfaceAddresses()) {
    if (entry.up && !entry.loopback) {
      out.push_back(std::move(entry));
    }
  }
  return out;
}

}  // namespace

uint32_t pickAdvertisedAddress(const std::vector<uint32_t>& addresses) {
  if (addresses.empty()) {
    return 0;
  }
  uint32_t chosen = addresses.front();
  for (size_t i = 1; i < addresses.size(); ++i) {
    if (!isPrivateAddress(addresses[i]) && usable(addresses[i])) {
      chosen = addresses[i];
    }
  }
  return chosen;
}

uint32_t pickLanAddress(const std::vector<InterfaceAddress>& interfaces) {
  if (interfaces.empty()) {
    return 0;
  }
  uint32_t chosen = interfaces.front().address;
  for (size_t i = 1; i < interfaces.size(); ++i) {
    const InterfaceAddress& entry = interfaces[i];
    if (isPrivateAddress(entry.address) && usable(entry.address) && entry.netmask != 0xFFFFFFFFu) {
      chosen = entry.address;
    }
  }
  return chosen;
}

std::string localAddress() {
  std::vector<InterfaceAddress> interfaces = hostInterfaces();
  std::vector<uint32_t> addresses;
  for (const InterfaceAddress& entry : interfaces) {
    addresses.push_back(entry.address);
  }
  uint32_t chosen = pickAdvertisedAddress(addresses);
  if (chosen == 0) {
    chosen = pickLanAddress(interfaces);
  }
  if (chosen == 0) {
    chosen = platform::ipv4(127, 0, 0, 1);
  }
  return platform::ipv4ToString(chosen);
}

uint32_t lanAddress() {
  // An address off every local network (TEST-NET-2) is reached by the default route: its
  // interface is the LAN, not a container or virtual machine bridge listed after it.
  const uint32_t routed = localAddressTowards(platform::ipv4(198, 51, 100, 1));
  if (routed != 0 && usable(routed)) return routed;
  return pickLanAddress(hostInterfaces());
}

uint32_t localAddressTowards(uint32_t destination) {
  if (destination == 0) return 0;
  return platform::localAddressTowards(platform::SocketAddress::ipv4(destination, 9)).ipv4Address();
}

uint32_t netmaskOf(uint32_t address) {
  for (const InterfaceAddress& entry : interfaceAddresses()) {
    if (entry.address == address) {
      return entry.netmask;
    }
  }
  return 0;
}

bool internetConnected() {
  for (const InterfaceAddress& entry : interfaceAddresses()) {
    if (entry.up && !entry.loopback && entry.address != 0) {
      return true;
    }
  }
  return false;
}

bool attemptConnect() {
  return true;
}

bool bindUdp(platform::UniqueFd& socket, uint16_t port) {
  return platform::bindUdp(socket, port, 0);
}

}  // namespace quillet::base
