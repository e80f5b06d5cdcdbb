// Tests of the public address resolution without network services.
#include "net/public_address.h"

#include <gtest/gtest.h>

namespace quillet::net {
namespace {

PublicAddressRequest rtpRequest(const std::string& address, uint16_t port) {
  return {address, port, -1, 16, 9000, 8000};
}

TEST(PublicAddress, StaticMappingAppliesOnlyToAPrivateAddress) {
  NatSettings settings;
  settings.staticMapping = true;
  settings.staticPublicIp = "203.0.113.5";
  settings.active = true;
  LocalPublicAddressResolver resolver(settings);
  // A local address that is itself public answers itself and leaves "Active" alone.
  PublicAddress result = resolver.resolve(rtpRequest("80.1.2.3", 8004));
  EXPECT_EQ(result.address, "80.1.2.3");
  EXPECT_EQ(result.port, 8004);
  EXPECT_FALSE(result.nat);
  EXPECT_FALSE(resolver.clearedActive());
  result = resolver.resolve(rtpRequest("192.168.1.23", 8004));
  EXPECT_EQ(result.address, "203.0.113.5");
  EXPECT_EQ(result.port, 9004);
  EXPECT_FALSE(result.nat);
  EXPECT_TRUE(resolver.clearedActive());
  EXPECT_TRUE(resolver.message().empty());
}

TEST(PublicAddress, StaticWithoutAddressKeepsPrivateAddressButShiftsPort) {
  NatSettings settings;
  settings.staticMapping = true;
  LocalPublicAddressResolver resolver(settings);
  PublicAddress result = resolver.resolve(rtpRequest("192.168.1.23", 8004));
  EXPECT_EQ(result.address, "192.168.1.23");
  EXPECT_EQ(result.port, 9004);
  EXPECT_FALSE(result.nat);
  EXPECT_EQ(resolver.message(), "Unable to auto-detect public IP. Using private IP");
}

TEST(PublicAddress, NoMethodGivesPrivateAddressSilently) {
  NatSettings settings;
  settings.stun = false;
  LocalPublicAddressResolver resolver(settings);
  PublicAddress result = resolver.resolve(rtpRequest("10.0.0.5", 8000));
  EXPECT_EQ(result.address, "10.0.0.5");
  EXPECT_EQ(result.port, 8000);
  EXPECT_TRUE(result.nat);
  EXPECT_TRUE(resolver.message().empty());
  settings.stun = true;
  LocalPublicAddressResolver withStun(settings);
  withStun.resolve(rtpRequest("10.0.0.5", 8000));
  EXPECT_FALSE(withStun.message().empty());
}

}  // namespace
}  // namespace quillet::net
