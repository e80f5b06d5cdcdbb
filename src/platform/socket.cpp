// SPDX-License-Identifier: Apache-2.0
// Socket helpers over POSIX sockets.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/tick.h"

namespace quillet::platform {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0 && fd_ != fd) {
    ::close(fd_);
  }
  fd_ = fd;
}

sockaddr_in Endpoint::toSockaddr() const {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address;
  sa.sin_port = htons(port);
  return sa;
}

Endpoint Endpoint::fromSockaddr(const sockaddr_in& sa) {
  return Endpoint{sa.sin_addr.s_addr, ntohs(sa.sin_port)};
}

std::string Endpoint::toString() const {
  return ipv4ToString(address) + ":" + std::to_string(port);
}

uint32_t ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  uint8_t bytes[4] = {a, b, c, d};
  uint32_t out;
  std::copy(bytes, bytes + 4, reinterpret_cast<uint8_t*>(&out));
  return out;
}

uint8_t ipv4Byte(uint32_t address, int index) {
  return reinterpret_cast<const uint8_t*>(&address)[index & 3];
}

std::string ipv4ToString(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", ipv4Byte(address, 0), ipv4Byte(address, 1),
                ipv4Byte(address, 2), ipv4Byte(address, 3));
  return text;
}

bool parseDottedQuad(std::string_view text, uint32_t& address) {
  uint8_t bytes[4];
  int part = 0;
  size_t pos = 0;
  while (part < 4) {
    size_t digits = 0;
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) {
      return false;
    }
    bytes[part++] = static_cast<uint8_t>(value);
    if (part < 4) {
      if (pos >= text.size() || text[pos] != '.') {
        return false;
      }
      ++pos;
    }
  }
  if (pos != text.size()) {
    return false;
  }
  address = ipv4(bytes[0], bytes[1], bytes[2], bytes[3]);
  return true;
}

std::vector<uint32_t> lookupIpv4(const std::string& host) {
  std::vector<uint32_t> out;
  uint32_t direct;
  if (parseDottedQuad(host, direct)) {
    out.push_back(direct);
    return out;
  }
  if (host.empty()) {
    return out;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* result = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0) {
    return out;
  }
  for (addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addr != nullptr) {
      uint32_t a = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
      if (std::find(out.begin(), out.end(), a) == out.end()) {
        out.push_back(a);
      }
    }
  }
  ::freeaddrinfo(result);
  return out;
}

std::vector<SocketAddress> lookupHost(const std::string& host, uint16_t port) {
  std::vector<SocketAddress> out;
  if (std::optional<SocketAddress> numeric = SocketAddress::parse(host, port)) {
    out.push_back(*numeric);
    return out;
  }
  if (host.empty() || host.front() == '[') {
    return out;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* result = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0) {
    return out;
  }
  for (addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
    SocketAddress found = SocketAddress::fromSockaddr(ai->ai_addr, ai->ai_addrlen);
    found.setPort(port);
    if (found.valid() && std::find(out.begin(), out.end(), found) == out.end()) {
      out.push_back(found);
    }
  }
  ::freeaddrinfo(result);
  return out;
}

SocketAddress localAddressTowards(const SocketAddress& destination) {
  if (destination.isUnspecified()) {
    return {};
  }
  UniqueFd fd(::socket(destination.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
  SocketAddress to = destination;
  to.setPort(9);
  if (!fd || ::connect(fd.get(), to.get(), to.length()) != 0) {
    return {};
  }
  SocketAddress local = localSocketAddress(fd.get());
  local.setPort(0);
  return local;
}

namespace {

int socketFamily(int fd) {
  int family = AF_UNSPEC;
  socklen_t len = sizeof family;
  if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &family, &len) != 0) {
    return AF_UNSPEC;
  }
  return family;
}

// The errors an ICMP message for an earlier datagram leaves pending on a socket.
bool reportedByIcmp(int error) {
  switch (error) {
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENOPROTOOPT:
    case EPROTO:
    case EACCES:
    case EMSGSIZE:
      return true;
    default:
      return false;
  }
}

}  // namespace

UniqueFd udpSocket() {
  return UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
}

bool bindUdp(UniqueFd& socket, uint16_t port, uint32_t address) {
  socket.reset();
  UniqueFd fresh = udpSocket();
  if (!fresh) {
    return false;
  }
  sockaddr_in sa = Endpoint{address, port}.toSockaddr();
  if (::bind(fresh.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    return false;
  }
  socket = std::move(fresh);
  return true;
}

UniqueFd dualStackUdpSocket() {
  UniqueFd fd(::socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    return udpSocket();  // a host without IPv6
  }
  int v6only = 0;
  ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
  return fd;
}

bool bindDualStackUdp(UniqueFd& socket, uint16_t port) {
  socket.reset();
  UniqueFd fresh = dualStackUdpSocket();
  if (!fresh) {
    return false;
  }
  sockaddr_in6 any6{};
  any6.sin6_family = AF_INET6;
  any6.sin6_port = htons(port);
  sockaddr_in any4 = Endpoint{0, port}.toSockaddr();
  const bool v6 = socketFamily(fresh.get()) == AF_INET6;
  const int bound = v6 ? ::bind(fresh.get(), reinterpret_cast<const sockaddr*>(&any6), sizeof any6)
                       : ::bind(fresh.get(), reinterpret_cast<const sockaddr*>(&any4), sizeof any4);
  if (bound != 0) {
    return false;
  }
  socket = std::move(fresh);
  return true;
}

SocketAddress localSocketAddress(int fd) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    return {};
  }
  return SocketAddress::fromSockaddr(reinterpret_cast<const sockaddr*>(&sa), len);
}

Endpoint localEndpoint(int fd) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    return Endpoint{};
  }
  const SocketAddress local =
      SocketAddress::fromSockaddr(reinterpret_cast<const sockaddr*>(&sa), len);
  // A dual-stack socket bound to every address: its port, no IPv4 address of its own.
  return Endpoint{local.ipv4Address(), local.port()};
}

int sendTo(int fd, const void* data, size_t size, const Endpoint& to) {
  return sendTo(fd, data, size, SocketAddress::fromEndpoint(to));
}

int sendTo(int fd, const void* data, size_t size, const SocketAddress& to) {
  sockaddr_in6 mapped{};
  const sockaddr* address = to.get();
  socklen_t length = to.length();
  if (to.isIpv4() && socketFamily(fd) == AF_INET6) {
    // A dual-stack socket reaches an IPv4 peer by its mapped address.
    mapped.sin6_family = AF_INET6;
    mapped.sin6_port = htons(to.port());
    mapped.sin6_addr.s6_addr[10] = 0xff;
    mapped.sin6_addr.s6_addr[11] = 0xff;
    const uint32_t v4 = to.ipv4Address();
    std::memcpy(&mapped.sin6_addr.s6_addr[12], &v4, sizeof v4);
    address = reinterpret_cast<const sockaddr*>(&mapped);
    length = sizeof mapped;
  }
  ssize_t n = -1;
  // Where ICMP errors are reported (IP_RECVERR), one that came for an earlier datagram fails
  // the next send once, and nothing goes: this datagram is sent again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    do {
      n = ::sendto(fd, data, size, MSG_NOSIGNAL, address, length);
    } while (n < 0 && errno == EINTR);
    if (n >= 0 || !reportedByIcmp(errno)) break;
  }
  return n < 0 ? -1 : static_cast<int>(n);
}

int recvFromAddress(int fd, void* data, size_t size, SocketAddress* from) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  ssize_t n;
  do {
    n = ::recvfrom(fd, data, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), &len);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    return -1;
  }
  if (from != nullptr) {
    *from = SocketAddress::fromSockaddr(reinterpret_cast<const sockaddr*>(&sa), len);
  }
  return static_cast<int>(n);
}

int recvFrom(int fd, void* data, size_t size, Endpoint* from) {
  SocketAddress source;
  const int n = recvFromAddress(fd, data, size, from != nullptr ? &source : nullptr);
  if (n >= 0 && from != nullptr) {
    *from = source.isIpv4() ? Endpoint{source.ipv4Address(), source.port()} : Endpoint{};
  }
  return n;
}

namespace {

int32_t remaining(uint32_t start, int32_t timeoutMs) {
  if (timeoutMs < 0) {
    return kInfinite;
  }
  int32_t left = timeoutMs - tickDiff(tickMs(), start);
  return left < 0 ? 0 : left;
}

NetResult waitFor(int fd, bool writable, int32_t timeoutMs, Event* stop) {
  int fds[1] = {fd};
  int result;
  if (stop != nullptr) {
    Event* events[1] = {stop};
    result = writable ? waitAnyOrWritable(events, fds, timeoutMs)
                      : waitAnyOrReadable(events, fds, timeoutMs);
    if (result == 0) {
      stop->set();  // an auto-reset stop event stays visible to later waits
      return NetResult::Cancelled;
    }
    return result == 1 ? NetResult::Done : NetResult::Failed;
  }
  result = writable ? waitAnyOrWritable({}, fds, timeoutMs) : waitAnyOrReadable({}, fds, timeoutMs);
  return result == 0 ? NetResult::Done : NetResult::Failed;
}

}  // namespace

NetResult waitReadable(int fd, int32_t timeoutMs, Event* stop) {
  return waitFor(fd, false, timeoutMs, stop);
}

NetResult tcpConnect(const Endpoint& to, int32_t timeoutMs, Event* stop, UniqueFd& out) {
  out.reset();
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) {
    return NetResult::Failed;
  }
  sockaddr_in sa = to.toSockaddr();
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    if (errno != EINPROGRESS) {
      return NetResult::Failed;
    }
    NetResult waited = waitFor(fd.get(), true, timeoutMs, stop);
    if (waited != NetResult::Done) {
      return waited;
    }
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
      return NetResult::Failed;
    }
  }
  out = std::move(fd);
  return NetResult::Done;
}

NetResult tcpSendAll(int fd, std::string_view bytes, int32_t timeoutMs, Event* stop) {
  uint32_t start = tickMs();
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      return NetResult::Failed;
    }
    int32_t left = remaining(start, timeoutMs);
    if (left == 0) {
      return NetResult::Failed;
    }
    NetResult waited = waitFor(fd, true, left, stop);
    if (waited != NetResult::Done) {
      return waited;
    }
  }
  return NetResult::Done;
}

NetResult tcpReceive(int fd, void* data, size_t size, int32_t timeoutMs, Event* stop,
                     size_t& received) {
  received = 0;
  uint32_t start = tickMs();
  for (;;) {
    ssize_t n = ::recv(fd, data, size, MSG_DONTWAIT);
    if (n >= 0) {
      received = static_cast<size_t>(n);
      return NetResult::Done;
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      return NetResult::Failed;
    }
    int32_t left = remaining(start, timeoutMs);
    if (left == 0) {
      return NetResult::Failed;
    }
    NetResult waited = waitFor(fd, false, left, stop);
    if (waited != NetResult::Done) {
      return waited;
    }
  }
}

}  // namespace quillet::platform
