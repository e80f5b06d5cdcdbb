// SPDX-License-Identifier: Apache-2.0
// The ICMP errors of a dual-stack UDP socket: a datagram to a loopback port nothing listens
// on comes back as "port unreachable" for that address and port, in both families; the
// error does not stop the next datagram going out, taking the errors clears the socket's
// error state, and datagrams are received as before.
#include "platform/socket_errors.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>

#include "platform/socket.h"
#include "platform/test_util.h"

namespace quillet::platform {
namespace {

// What a poll of the socket reports within the time limit (0: nothing).
short pollEvents(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) == 1 ? p.revents : 0;
}

// A port on loopback that nothing listens on (bound once, then let go).
uint16_t closedPort(const SocketAddress& loopback) {
  UniqueFd probe(::socket(loopback.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!probe || ::bind(probe.get(), loopback.get(), loopback.length()) != 0) return 0;
  return localSocketAddress(probe.get()).port();
}

void expectPortUnreachable(const char* host) {
  SCOPED_TRACE(host);
  UniqueFd socket;
  ASSERT_TRUE(bindDualStackUdp(socket, 0));
  ASSERT_TRUE(enableSocketErrors(socket.get()));
  SocketAddress to = *SocketAddress::parse(host, 0);
  const uint16_t port = closedPort(to);
  if (port == 0) GTEST_SKIP() << "no " << host << " here";
  to.setPort(port);
  UniqueFd peer(::socket(to.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
  SocketAddress peerAddress = to;
  peerAddress.setPort(0);
  ASSERT_EQ(::bind(peer.get(), peerAddress.get(), peerAddress.length()), 0);
  peerAddress.setPort(localSocketAddress(peer.get()).port());

  ASSERT_EQ(sendTo(socket.get(), "ping", 4, to), 4);
  ASSERT_NE(pollEvents(socket.get(), 1000) & POLLERR, 0);
  // The error pending does not keep the next datagram from going.
  ASSERT_EQ(sendTo(socket.get(), "next", 4, peerAddress), 4);
  ASSERT_NE(pollEvents(peer.get(), 1000) & POLLIN, 0);

  const std::vector<SocketError> errors = takeSocketErrors(socket.get(), 8);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].destination, to);
  EXPECT_EQ(errors[0].error, ECONNREFUSED);
  EXPECT_TRUE(errors[0].unreachable());
  EXPECT_EQ(errors[0].describe(), "port unreachable");
  // Nothing left to report: a wait on the socket waits again.
  EXPECT_EQ(pollEvents(socket.get(), 50), 0);
  EXPECT_TRUE(takeSocketErrors(socket.get(), 8).empty());

  // A datagram to it still comes in whole, from its sender.
  SocketAddress self = to;
  self.setPort(localSocketAddress(socket.get()).port());
  ASSERT_EQ(::sendto(peer.get(), "hello", 5, 0, self.get(), self.length()), 5);
  ASSERT_NE(pollEvents(socket.get(), 1000) & POLLIN, 0);
  char buffer[16];
  SocketAddress from;
  ASSERT_EQ(recvFromAddress(socket.get(), buffer, sizeof buffer, &from), 5);
  EXPECT_EQ(std::string(buffer, 5), "hello");
  EXPECT_EQ(from, peerAddress);
}

TEST(SocketErrors, APortNothingListensOnIsReportedUnreachable) {
  expectPortUnreachable("127.0.0.1");
  expectPortUnreachable("::1");
}

// Many errors at once are taken at most `max` at a time, and all of them in the end.
TEST(SocketErrors, ErrorsAreTakenInBoundedBatches) {
  UniqueFd socket;
  ASSERT_TRUE(bindDualStackUdp(socket, 0));
  ASSERT_TRUE(enableSocketErrors(socket.get()));
  SocketAddress to = *SocketAddress::parse("127.0.0.1", 0);
  to.setPort(closedPort(to));
  for (int i = 0; i < 5; ++i) ASSERT_EQ(sendTo(socket.get(), "ping", 4, to), 4);
  size_t taken = 0;
  for (int pass = 0; pass < 20 && taken < 5; ++pass) {
    if ((pollEvents(socket.get(), 200) & POLLERR) == 0) continue;
    const size_t batch = takeSocketErrors(socket.get(), 2).size();
    EXPECT_LE(batch, 2u);
    taken += batch;
  }
  EXPECT_EQ(taken, 5u);
  EXPECT_EQ(pollEvents(socket.get(), 50), 0);
}

TEST(SocketErrors, OnlyUnreachableDestinationsCount) {
  SocketError error;
  error.origin = SocketError::Origin::Icmp;
  error.type = 3;
  error.code = 4;  // needs fragmenting: the path's size, not the destination
  EXPECT_FALSE(error.unreachable());
  error.code = 1;
  EXPECT_TRUE(error.unreachable());
  EXPECT_EQ(error.describe(), "host unreachable");
  error.type = 11;  // time exceeded
  EXPECT_FALSE(error.unreachable());
  EXPECT_EQ(error.describe(), "ICMP type 11 code 1");
  error.origin = SocketError::Origin::Icmp6;
  error.type = 1;
  error.code = 0;
  EXPECT_TRUE(error.unreachable());
  EXPECT_EQ(error.describe(), "no route");
  error.type = 2;  // too big
  EXPECT_FALSE(error.unreachable());
  error.origin = SocketError::Origin::Other;
  error.type = 3;
  EXPECT_FALSE(error.unreachable());
}

}  // namespace
}  // namespace quillet::platform
