// SPDX-License-Identifier: Apache-2.0
// Tests of the public address resolution order without servers: public local address,
// static mapping, "Active", and the local address towards a peer.
#include "net/public_address.h"

#include <gtest/gtest.h>

#include "platform/socket.h"

namespace quillet::net {
namespace {

PublicAddressRequest rtpRequest(const std::string& address, uint16_t port, int socket = -1) {
  return {address, port, socket, 16, 9000, 8000, nullptr};
}

NatSettings noMethods() {
  NatSettings settings;
  settings.stun = false;
  return settings;
}

// A local address that is itself public answers itself and leaves "Active" alone; a private
// one gets the static address and port base and clears it.
TEST(PublicAddress, StaticMappingAppliesOnlyToAPrivateAddress) {
  NatSettings settings = noMethods();
  settings.staticMapping = true;
  settings.staticPublicIp = "203.0.113.5";
  settings.active = true;
  NatResolver resolver(settings);
  PublicAddress result = resolver.resolve(rtpRequest("80.1.2.3", 8004));
  EXPECT_EQ(result.address + ":" + std::to_string(result.port), "80.1.2.3:8004");
  EXPECT_FALSE(result.nat);
  EXPECT_FALSE(resolver.clearedActive());
  result = resolver.resolve(rtpRequest("192.168.1.23", 8004));
  EXPECT_EQ(result.address + ":" + std::to_string(result.port), "203.0.113.5:9004");
  EXPECT_FALSE(result.nat);
  EXPECT_TRUE(resolver.clearedActive());
}

// "Active" skips STUN: the first resolution asks the (silent) server, the next does not
// (nat_stun proves the fallbacks of silent servers and a refused HTTP lookup).
TEST(PublicAddress, ActiveSkipsStun) {
  platform::UniqueFd silent;
  ASSERT_TRUE(platform::bindUdp(silent, 0, platform::ipv4(127, 0, 0, 1)));
  platform::UniqueFd socket;
  ASSERT_TRUE(platform::bindUdp(socket, 0, platform::ipv4(127, 0, 0, 1)));
  NatSettings settings;
  settings.stunServers = {"127.0.0.1:" + std::to_string(platform::localEndpoint(silent.get()).port),
                          ""};
  NatResolver resolver(settings);
  PublicAddress result = resolver.resolve(rtpRequest("10.0.0.5", 8000, socket.get()));
  EXPECT_EQ(result.address, "10.0.0.5");
  char byte;
  EXPECT_GT(platform::recvFrom(silent.get(), &byte, 1, nullptr), 0);
  while (platform::recvFrom(silent.get(), &byte, 1, nullptr) > 0) {
  }
  settings.active = true;
  NatResolver activeResolver(settings);
  result = activeResolver.resolve(rtpRequest("10.0.0.5", 8000, socket.get()));
  EXPECT_EQ(result.port, 8000);
  EXPECT_TRUE(result.nat);
  EXPECT_LT(platform::recvFrom(silent.get(), &byte, 1, nullptr), 0);
}

}  // namespace
}  // namespace quillet::net
