// SPDX-License-Identifier: Apache-2.0
// The transport's choice for a request too large for a datagram: over TCP to the same
// address and port with its Via saying so, and as a datagram after all when no connection
// can be made there; a transport the line or URI named is kept whatever the size.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include "platform/test_util.h"
#include "sip/sip_transport.h"
#include "sip/stream_path.h"

namespace quillet::sip {
namespace {

// A far end with a UDP socket and, when asked, a TCP listener on the same port.
struct FarSide {
  platform::UniqueFd udp;
  platform::UniqueFd tcp;
  uint16_t port = 0;

  explicit FarSide(bool listens) {
    platform::bindUdp(udp, 0, htonl(INADDR_LOOPBACK));
    port = platform::localEndpoint(udp.get()).port;
    int error = 0;
    if (listens) tcp = listenTcp(port, error);
  }
  SipTarget target(bool named = false) const {
    SipTarget t = udpTarget(platform::SocketAddress::ipv4(htonl(INADDR_LOOPBACK), port));
    t.transportNamed = named;
    return t;
  }
  std::string datagram() {
    pollfd p{udp.get(), POLLIN, 0};
    if (::poll(&p, 1, 3000) <= 0) return {};
    std::string buffer(70000, '\0');
    const int n = platform::recvFrom(udp.get(), buffer.data(), buffer.size(), nullptr);
    return n > 0 ? buffer.substr(0, static_cast<size_t>(n)) : std::string();
  }
  std::string overTcp(size_t size) {
    pollfd p{tcp.get(), POLLIN, 0};
    if (::poll(&p, 1, 3000) <= 0) return {};
    platform::UniqueFd connection(::accept(tcp.get(), nullptr, nullptr));
    timeval wait{3, 0};
    ::setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::string text;
    char buffer[4096];
    while (text.size() < size) {
      const ssize_t n = ::recv(connection.get(), buffer, sizeof buffer, 0);
      if (n <= 0) break;
      text.append(buffer, static_cast<size_t>(n));
    }
    return text;
  }
};

std::string request(size_t size) {
  std::string text =
      "OPTIONS sip:far@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5070;rport;branch=z9hG4bK1"
      "\r\nCall-ID: big\r\nCSeq: 1 OPTIONS\r\nContent-Length: 0\r\n";
  text += "X-Pad: " + std::string(size > text.size() + 12 ? size - text.size() - 12 : 0, 'p');
  return text + "\r\n\r\n";
}

class TransportSize : public ::testing::Test {
 protected:
  void SetUp() override {
    transport_.setSettingsSource([] {
      TransportSettings s;
      s.port = platform::testing::freeUdpPort();
      s.stun = false;
      return s;
    });
    transport_.setPrivateAddressSource([] { return std::string("127.0.0.1"); });
    transport_.restart();
    ASSERT_TRUE(transport_.waitReady(5000));
  }
  void TearDown() override { transport_.shutdown(); }
  SipTransport transport_;
};

TEST_F(TransportSize, ALargeRequestGoesOverTcpAndBackToUdpWhenNoConnectionCanBeMade) {
  {
    FarSide far(true);
    const std::string big = request(2000);
    ASSERT_TRUE(transport_.send(far.target(), big));
    const std::string got = far.overTcp(big.size());
    EXPECT_EQ(got.size(), big.size());
    EXPECT_NE(got.find("\r\nVia: SIP/2.0/TCP 127.0.0.1:5070;"), std::string::npos);
    // A small one stays a datagram.
    ASSERT_TRUE(transport_.send(far.target(), request(600)));
    EXPECT_EQ(far.datagram(), request(600));
  }
  {
    FarSide far(false);  // nothing listens for TCP there
    const std::string big = request(2000);
    ASSERT_TRUE(transport_.send(far.target(), big));
    EXPECT_EQ(far.datagram(), big);
  }
  {
    FarSide far(true);  // the line said UDP: no connection is tried
    const std::string big = request(3000);
    ASSERT_TRUE(transport_.send(far.target(true), big));
    EXPECT_EQ(far.datagram(), big);
  }
}

}  // namespace
}  // namespace quillet::sip
