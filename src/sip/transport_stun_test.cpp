// SPDX-License-Identifier: Apache-2.0
// The SIP transport's public address through STUN: a silent first server, the second one
// answering, the public address taken from it, and the NAT keep-alives going to it.
#include <gtest/gtest.h>

#include <thread>

#include "net/stun_client.h"
#include "net/stun_test_util.h"
#include "sip/sip_transport.h"

namespace quillet::sip {
namespace {

using namespace net::testutil;

TEST(TransportStun, PublicAddressAndKeepAlivesFromTheServerThatAnswers) {
  net::setUseSecondStunServer(false);
  ScriptedServer silent([](const uint8_t*, int) { return std::vector<Bytes>{}; });
  ScriptedServer answering([](const uint8_t* request, int) -> std::vector<Bytes> {
    return {response(request, mappedAttribute(0x0001, 8, 40000, {198, 51, 100, 9}))};
  });
  platform::UniqueFd probe;
  ASSERT_TRUE(platform::bindUdp(probe, 0));
  const int32_t port = platform::localEndpoint(probe.get()).port;
  probe.reset();
  SipTransport transport;
  transport.setSettingsSource([&] {
    TransportSettings s;
    s.port = port;
    s.stunServer1 = silent.name();
    s.stunServer2 = answering.name();
    return s;
  });
  transport.setPrivateAddressSource([] { return std::string("127.0.0.1"); });
  transport.restart();
  ASSERT_TRUE(transport.waitReady(5000));
  for (int i = 0; i < 200 && answering.keepAlives() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  transport.shutdown();
  EXPECT_EQ(transport.publicAddress().address, "198.51.100.9");
  EXPECT_EQ(transport.publicAddress().port, 40000);
  EXPECT_EQ(silent.requests(), 3);
  EXPECT_EQ(answering.requests(), 1);
  EXPECT_TRUE(net::useSecondStunServer());
  EXPECT_EQ(answering.keepAlives(), 1);
  EXPECT_EQ(silent.keepAlives(), 0);
  net::setUseSecondStunServer(false);
}

}  // namespace
}  // namespace quillet::sip
