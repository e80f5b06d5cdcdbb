// SPDX-License-Identifier: Apache-2.0
// Local network facts: private ranges, resolution texts and the address choices.
#include "base/net_facts.h"

#include <gtest/gtest.h>

namespace quillet::base {
namespace {

using platform::ipv4;

TEST(NetFacts, PrivateRanges) {
  const std::pair<uint32_t, bool> cases[] = {
      {ipv4(10, 1, 2, 3), true},     {ipv4(172, 16, 5, 1), true},  {ipv4(172, 31, 0, 1), true},
      {ipv4(172, 32, 0, 1), false},  {ipv4(172, 15, 0, 1), false}, {ipv4(192, 168, 1, 7), true},
      {ipv4(192, 169, 1, 7), false}, {ipv4(169, 254, 0, 1), true}, {ipv4(127, 0, 0, 1), true},
      {ipv4(127, 1, 0, 1), false},   {ipv4(80, 1, 2, 3), false}};
  for (const auto& [address, isPrivate] : cases) {
    EXPECT_EQ(isPrivateAddress(address), isPrivate) << std::hex << address;
  }
}

TEST(NetFacts, HostPortTexts) {
  Endpoint e = resolveHostPort("127.0.0.1:5070", 5060);
  EXPECT_EQ(e.address, ipv4(127, 0, 0, 1));
  EXPECT_EQ(e.port, 5070);
  EXPECT_EQ(resolveHostPort("127.0.0.1", 5060).port, 5060);
  for (const char* bad : {"127.0.0.1:", "127.0.0.1:70000", "127.0.0.1:0", "127.0.0.1:50x",
                          "127.0.0.1:-5", "127.0.0.1:0000005060"}) {
    const Endpoint none = resolveHostPort(bad, 3478);
    EXPECT_TRUE(none.address == 0 && none.port == 0) << bad;
  }
  EXPECT_EQ(resolveHostPort("localhost:5070", 5060).address, ipv4(127, 0, 0, 1));
  EXPECT_EQ(resolveHostPort("no-such-host.invalid:5070", 5060).address, 0u);
  EXPECT_EQ(resolveHost("10.0.0.5"), ipv4(10, 0, 0, 5));
  EXPECT_EQ(resolveHost(""), 0u);
  EXPECT_EQ(resolveHostList("10.0.0.5"), std::vector<uint32_t>{ipv4(10, 0, 0, 5)});
}

TEST(NetFacts, AddressTextParsingIsLenient) {
  uint32_t address;
  uint16_t port;
  EXPECT_TRUE(parseAddressText("192.168.1.20:5070", address, port));
  EXPECT_EQ(address, ipv4(192, 168, 1, 20));
  EXPECT_EQ(port, 5070);
  EXPECT_TRUE(parseAddressText("1.2.3.4", address, port));
  EXPECT_EQ(port, 0);
  EXPECT_FALSE(parseAddressText("1.2.3", address, port));
  EXPECT_TRUE(parseAddressText("1.2.3.4.5", address, port));  // extra dots stay in byte 4
  EXPECT_EQ(address, ipv4(1, 2, 3, 45));
}

TEST(NetFacts, PublicInterfaceAddressWinsAdvertising) {
  EXPECT_EQ(pickAdvertisedAddress({ipv4(10, 0, 0, 5), ipv4(80, 1, 2, 3)}), ipv4(80, 1, 2, 3));
  EXPECT_EQ(pickAdvertisedAddress({ipv4(192, 168, 1, 7)}), ipv4(192, 168, 1, 7));
  EXPECT_EQ(pickAdvertisedAddress({ipv4(10, 0, 0, 5), ipv4(192, 168, 1, 7)}), ipv4(10, 0, 0, 5));
  EXPECT_EQ(pickAdvertisedAddress({}), 0u);
}

TEST(NetFacts, LanAddressSkipsPointToPointLinks) {
  std::vector<InterfaceAddress> interfaces = {
      {"ppp0", ipv4(80, 1, 2, 3), ipv4(255, 255, 255, 255), true, false},
      {"tun0", ipv4(10, 8, 0, 2), ipv4(255, 255, 255, 255), true, false},
      {"eth0", ipv4(192, 168, 1, 7), ipv4(255, 255, 255, 0), true, false}};
  EXPECT_EQ(pickLanAddress(interfaces), ipv4(192, 168, 1, 7));
  interfaces.pop_back();
  EXPECT_EQ(pickLanAddress(interfaces), ipv4(80, 1, 2, 3));
  // Without netmasks (0.0.0.0) every private address counts as a LAN address.
  std::vector<InterfaceAddress> unknown = {{"a", ipv4(10, 0, 0, 1), 0, true, false},
                                           {"b", ipv4(10, 0, 0, 2), 0, true, false}};
  EXPECT_EQ(pickLanAddress(unknown), ipv4(10, 0, 0, 2));
}

TEST(NetFacts, LocalAddressTowardsLoopbackIsLoopback) {
  EXPECT_EQ(localAddressTowards(ipv4(127, 0, 0, 9)), ipv4(127, 0, 0, 1));
  EXPECT_EQ(localAddressTowards(0), 0u);
}

}  // namespace
}  // namespace quillet::base
