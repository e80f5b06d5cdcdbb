// SPDX-License-Identifier: Apache-2.0
// The SIP transport's public address learnt from a registrar's Via: it replaces the
// resolver's, is what requests to outside destinations carry, and is logged once.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "sip/sip_log.h"
#include "sip/sip_transport.h"

namespace quillet::sip {
namespace {

SipTarget destination(const char* address) {
  return udpTarget(*platform::SocketAddress::parse(address, 5060));
}

std::pair<std::string, uint16_t> local(const SipTransport& transport, const char* to) {
  const LocalContact contact = transport.localAddressFor(destination(to));
  return {contact.address, contact.port};
}

TEST(TransportAddress, LearntAddressServesOutsideDestinations) {
  std::vector<std::string> log;
  setSipLogHook([&](SipLogLevel, const std::string& line) { log.push_back(line); });
  platform::UniqueFd probe;
  ASSERT_TRUE(platform::bindUdp(probe, 0));
  const int32_t port = platform::localEndpoint(probe.get()).port;
  probe.reset();
  SipTransport transport;
  transport.setSettingsSource([port] {
    TransportSettings s;
    s.port = port;
    s.stun = false;
    return s;
  });
  transport.setPrivateAddressSource([] { return std::string("192.168.7.20"); });
  transport.setPublicAddressResolver(
      [](const std::string&, uint16_t, int, const TransportSettings&, platform::Event*) {
        return PublicAddress{"198.51.100.9", 40000};
      });
  transport.restart();
  ASSERT_TRUE(transport.waitReady(5000));
  EXPECT_EQ(local(transport, "192.0.2.80"),
            (std::pair<std::string, uint16_t>{"198.51.100.9", 40000}));

  transport.learnPublicAddress({"203.0.113.50", 40123}, "the registrar's Via");
  transport.learnPublicAddress({"203.0.113.50", 40123}, "the registrar's Via");
  EXPECT_EQ(local(transport, "192.0.2.80"),
            (std::pair<std::string, uint16_t>{"203.0.113.50", 40123}));
  EXPECT_EQ(local(transport, "192.168.7.1"),
            (std::pair<std::string, uint16_t>{"192.168.7.20", transport.boundPort()}));
  transport.shutdown();
  setSipLogHook({});
  const std::string learnt = "SIP Public IP is: 203.0.113.50:40123 (from the registrar's Via)";
  EXPECT_EQ(std::count(log.begin(), log.end(), learnt), 1) << ::testing::PrintToString(log);
  EXPECT_EQ(std::count(log.begin(), log.end(), "SIP Public IP is: 198.51.100.9:40000"), 1);
}

}  // namespace
}  // namespace quillet::sip
