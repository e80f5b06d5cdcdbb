// SPDX-License-Identifier: Apache-2.0
// Addresses of both families: reading, writing, and datagrams over a dual-stack socket.
#include "platform/socket_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "platform/socket.h"

namespace quillet::platform {
namespace {

TEST(SocketAddress, ReadsAndWritesBothFamilies) {
  const auto v4 = SocketAddress::parse("192.0.2.7", 5060);
  ASSERT_TRUE(v4);
  EXPECT_TRUE(v4->isIpv4());
  EXPECT_EQ(v4->toString(), "192.0.2.7:5060");
  const auto v6 = SocketAddress::parse("[2001:DB8:0:0::7]", 5061);
  ASSERT_TRUE(v6);
  EXPECT_TRUE(v6->isIpv6());
  EXPECT_EQ(v6->host(), "2001:db8::7");
  EXPECT_EQ(v6->toString(), "[2001:db8::7]:5061");
  EXPECT_EQ(*v6, *SocketAddress::parse("2001:db8::7", 5061));
  EXPECT_FALSE(*v6 == *SocketAddress::parse("2001:db8::7", 5062));
  EXPECT_TRUE(v6->sameHost(*SocketAddress::parse("2001:db8::7", 1)));
  // A mapped address is the IPv4 address it stands for.
  const auto mapped = SocketAddress::parse("::ffff:192.0.2.7", 5060);
  ASSERT_TRUE(mapped);
  EXPECT_EQ(*mapped, *v4);
  EXPECT_TRUE(SocketAddress::parse("fe80::1", 1)->isLinkLocal());
  EXPECT_TRUE(SocketAddress::parse("::1", 1)->isLoopback());
  EXPECT_FALSE(SocketAddress::parse("::", 1)->valid());
  // Names, brackets around IPv4, broken texts: not addresses.
  for (const char* text : {"example.net", "[192.0.2.7]", "192.0.2", "[::1", "::1]", "", "1:2:3"})
    EXPECT_FALSE(SocketAddress::parse(text, 1)) << text;
  EXPECT_EQ(bracketedHost("::1"), "[::1]");
  EXPECT_EQ(bracketedHost("[::1]"), "[::1]");
  EXPECT_EQ(bracketedHost("192.0.2.7"), "192.0.2.7");
  EXPECT_EQ(withoutBrackets("[::1]"), "::1");
}

// One dual-stack socket takes datagrams from both families and answers each peer the way
// it came; an IPv4 peer is seen as IPv4, not as a mapped IPv6 address.
TEST(SocketAddress, DualStackSocketServesBothFamilies) {
  UniqueFd server;
  ASSERT_TRUE(bindDualStackUdp(server, 0));
  const uint16_t port = localSocketAddress(server.get()).port();
  ASSERT_NE(port, 0);
  const bool haveIpv6 = localSocketAddress(server.get()).isIpv6();
  for (const char* peerHost : {"127.0.0.1", "::1"}) {
    const SocketAddress peerAddress = *SocketAddress::parse(peerHost, 0);
    if (peerAddress.isIpv6() && !haveIpv6) continue;  // a host without IPv6
    UniqueFd peer(::socket(peerAddress.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(peer.valid());
    ASSERT_EQ(::bind(peer.get(), peerAddress.get(), peerAddress.length()), 0);
    SocketAddress to = peerAddress;
    to.setPort(port);
    ASSERT_EQ(sendTo(peer.get(), "ping", 4, to), 4);
    char buffer[16];
    SocketAddress from;
    ASSERT_EQ(waitReadable(server.get(), 2000, nullptr), NetResult::Done);
    ASSERT_EQ(recvFromAddress(server.get(), buffer, sizeof buffer, &from), 4);
    EXPECT_EQ(from.family(), peerAddress.family()) << peerHost;
    EXPECT_EQ(from, localSocketAddress(peer.get()));
    ASSERT_EQ(sendTo(server.get(), "pong", 4, from), 4) << peerHost;
    ASSERT_EQ(waitReadable(peer.get(), 2000, nullptr), NetResult::Done);
    EXPECT_EQ(recvFromAddress(peer.get(), buffer, sizeof buffer, nullptr), 4);
  }
  // The IPv4 calls of the NAT probes work on it too.
  Endpoint v4From;
  UniqueFd v4Peer;
  ASSERT_TRUE(bindUdp(v4Peer, 0, ipv4(127, 0, 0, 1)));
  ASSERT_EQ(sendTo(server.get(), "x", 1, localEndpoint(v4Peer.get())), 1);
  ASSERT_EQ(waitReadable(v4Peer.get(), 2000, nullptr), NetResult::Done);
  char byte;
  ASSERT_EQ(recvFrom(v4Peer.get(), &byte, 1, &v4From), 1);
  EXPECT_EQ(v4From.port, port);
  EXPECT_EQ(v4From.address, ipv4(127, 0, 0, 1));
}

}  // namespace
}  // namespace quillet::platform
