// SPDX-License-Identifier: Apache-2.0
// Socket helpers: an owning descriptor, IPv4 endpoints, UDP bind/send/receive (IPv4, or
// both families), TCP connect/send/receive that give way to a stop event, and IPv4 name
// lookup.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event.h"
#include "platform/socket_address.h"

namespace quillet::platform {

// An owned file descriptor, closed when it goes away.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// An IPv4 address (4 bytes in network order, as in in_addr.s_addr) and a port (host order).
struct Endpoint {
  uint32_t address = 0;
  uint16_t port = 0;

  sockaddr_in toSockaddr() const;
  static Endpoint fromSockaddr(const sockaddr_in& sa);
  // "a.b.c.d:port"
  std::string toString() const;
  bool operator==(const Endpoint&) const = default;
};

// Builds an address from its four bytes (a.b.c.d).
uint32_t ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
// The bytes of an address, first byte first.
uint8_t ipv4Byte(uint32_t address, int index);
// "a.b.c.d"
std::string ipv4ToString(uint32_t address);
// Strict dotted quad: four decimal numbers 0..255. False otherwise.
bool parseDottedQuad(std::string_view text, uint32_t& address);

// The IPv4 addresses of a host name (getaddrinfo, AF_INET), in the resolver's order, each
// once. A dotted quad answers itself without a lookup. Empty on failure.
std::vector<uint32_t> lookupIpv4(const std::string& host);

// The addresses of a host name in both families (getaddrinfo), each once, with the port;
// a numeric host (IPv6 in brackets or not) answers itself without a lookup.
std::vector<SocketAddress> lookupHost(const std::string& host, uint16_t port);
// The local address the system sends from towards `destination` (connecting a UDP socket
// sends nothing); empty when there is no route. The port is 0.
SocketAddress localAddressTowards(const SocketAddress& destination);

// A UDP socket (non-blocking, close-on-exec). Invalid on failure.
UniqueFd udpSocket();
// Closes the socket if open, creates a new UDP socket and binds it to the port (0: any)
// on the given local address (0: all interfaces). False on failure (the socket is closed).
bool bindUdp(UniqueFd& socket, uint16_t port, uint32_t address = 0);
// The local endpoint a socket is bound to (port 0 when unknown).
Endpoint localEndpoint(int fd);

// A UDP socket for both families (non-blocking, close-on-exec): IPv6 taking IPv4 peers as
// mapped addresses where the host has IPv6, else IPv4. Invalid on failure.
UniqueFd dualStackUdpSocket();
// Closes the socket if open, creates a dual-stack UDP socket and binds it to the port (0:
// any) on every address. False on failure, with errno kept (the socket is closed).
bool bindDualStackUdp(UniqueFd& socket, uint16_t port);
// The local address and port a socket is bound to (empty when unknown).
SocketAddress localSocketAddress(int fd);

// Sends one datagram. Answers the bytes sent or -1. A pending ICMP error of an earlier
// datagram does not fail it.
int sendTo(int fd, const void* data, size_t size, const Endpoint& to);
int sendTo(int fd, const void* data, size_t size, const SocketAddress& to);
// Receives one datagram without blocking. Answers its size, 0 for an empty datagram, or -1
// when none is waiting (or on error). `from` may be null.
int recvFrom(int fd, void* data, size_t size, Endpoint* from);
// The same with a source of either family.
int recvFromAddress(int fd, void* data, size_t size, SocketAddress* from);

// Results of the waits that give way to a stop event.
enum class NetResult : int { Done = 0, Cancelled = 1, Failed = 2 };

// Connects a TCP socket; waits up to timeoutMs, stopping early when `stop` is set.
NetResult tcpConnect(const Endpoint& to, int32_t timeoutMs, Event* stop, UniqueFd& out);
// Sends all bytes within timeoutMs (kInfinite allowed), giving way to `stop`.
NetResult tcpSendAll(int fd, std::string_view bytes, int32_t timeoutMs, Event* stop);
// Receives what is available (at most size bytes) within timeoutMs; `received` is 0 when
// the peer closed the connection.
NetResult tcpReceive(int fd, void* data, size_t size, int32_t timeoutMs, Event* stop,
                     size_t& received);

// Waits until fd is readable or `stop` is set: Done (readable), Cancelled (stop), Failed
// (time-out or error).
NetResult waitReadable(int fd, int32_t timeoutMs, Event* stop);

}  // namespace quillet::platform
