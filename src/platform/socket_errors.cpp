// SPDX-License-Identifier: Apache-2.0
// The error queue of a UDP socket (IP_RECVERR, IPV6_RECVERR): the ICMP errors for what it sent.
#include "platform/socket_errors.h"

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

namespace quillet::platform {

namespace {

// ICMP (RFC 792) and ICMPv6 (RFC 4443) types and codes this side tells apart.
constexpr uint8_t kIcmpUnreachable = 3;
constexpr uint8_t kIcmpNeedsFragmenting = 4;  // a code of kIcmpUnreachable
constexpr uint8_t kIcmpParameterProblem = 12;
constexpr uint8_t kIcmp6Unreachable = 1;
constexpr uint8_t kIcmp6ParameterProblem = 4;

std::string icmpUnreachableText(uint8_t code) {
  switch (code) {
    case 0:
      return "network unreachable";
    case 1:
      return "host unreachable";
    case 2:
      return "protocol unreachable";
    case 3:
      return "port unreachable";
    case 13:
      return "administratively prohibited";
    default:
      return "destination unreachable (code " + std::to_string(code) + ")";
  }
}

std::string icmp6UnreachableText(uint8_t code) {
  switch (code) {
    case 0:
      return "no route";
    case 1:
      return "administratively prohibited";
    case 3:
      return "address unreachable";
    case 4:
      return "port unreachable";
    default:
      return "destination unreachable (code " + std::to_string(code) + ")";
  }
}

// The extended error of an error-queue message's control data, if it has one.
bool extendedError(msghdr& message, sock_extended_err& out) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    const bool ours = (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) ||
                      (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_RECVERR);
    if (ours && c->cmsg_len >= CMSG_LEN(sizeof out)) {
      std::memcpy(&out, CMSG_DATA(c), sizeof out);
      return true;
    }
  }
  return false;
}

// One message of the error queue; false when none is queued (or reading failed).
bool takeOne(int fd, SocketError& out) {
  sockaddr_storage name{};
  char payload[1];  // the datagram that failed comes back too: only its address matters
  iovec data{payload, sizeof payload};
  alignas(cmsghdr) char control[512];
  msghdr message{};
  message.msg_name = &name;
  message.msg_namelen = sizeof name;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = ::recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return false;
  out = SocketError{};
  out.destination =
      SocketAddress::fromSockaddr(reinterpret_cast<const sockaddr*>(&name), message.msg_namelen);
  sock_extended_err extended{};
  if (!extendedError(message, extended)) return true;
  out.error = static_cast<int>(extended.ee_errno);
  out.type = extended.ee_type;
  out.code = extended.ee_code;
  if (extended.ee_origin == SO_EE_ORIGIN_ICMP) out.origin = SocketError::Origin::Icmp;
  if (extended.ee_origin == SO_EE_ORIGIN_ICMP6) out.origin = SocketError::Origin::Icmp6;
  return true;
}

}  // namespace

bool SocketError::unreachable() const {
  switch (origin) {
    case Origin::Icmp:
      return (type == kIcmpUnreachable && code != kIcmpNeedsFragmenting) ||
             type == kIcmpParameterProblem;
    case Origin::Icmp6:
      return type == kIcmp6Unreachable || type == kIcmp6ParameterProblem;
    case Origin::Other:
      break;
  }
  return false;
}

std::string SocketError::describe() const {
  if (origin == Origin::Icmp && type == kIcmpUnreachable) return icmpUnreachableText(code);
  if (origin == Origin::Icmp6 && type == kIcmp6Unreachable) return icmp6UnreachableText(code);
  if ((origin == Origin::Icmp && type == kIcmpParameterProblem) ||
      (origin == Origin::Icmp6 && type == kIcmp6ParameterProblem)) {
    return "parameter problem";
  }
  const char* family = origin == Origin::Icmp6 ? "ICMPv6" : "ICMP";
  return std::string(origin == Origin::Other ? "local error" : family) + " type " +
         std::to_string(type) + " code " + std::to_string(code);
}

bool enableSocketErrors(int fd) {
  const int on = 1;
  const bool v4 = ::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on) == 0;
  int family = AF_UNSPEC;
  socklen_t length = sizeof family;
  if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &family, &length) != 0 || family != AF_INET6) {
    return v4;
  }
  return ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on) == 0 && v4;
}

std::vector<SocketError> takeSocketErrors(int fd, size_t max) {
  std::vector<SocketError> out;
  SocketError error;
  while (out.size() < max && takeOne(fd, error)) out.push_back(error);
  // The pending error too: errors left in the queue (over `max`) still show in a poll.
  int pending = 0;
  socklen_t length = sizeof pending;
  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length);
  return out;
}

}  // namespace quillet::platform
