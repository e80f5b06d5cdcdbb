// SPDX-License-Identifier: Apache-2.0
// The networking test in the program: a static mapping stops it before anything is
// touched (a test cancelled half way, which restarts the transport, is
// NetworkWizardTest.RunsOffTheGuiThreadAsksAboutABlockedPortAndEscapeCancels on this host).
#include "app/network_test_host.h"

#include <gtest/gtest.h>

#include "platform/message_loop.h"
#include "platform/prompts.h"
#include "platform/test_util.h"

namespace quillet::app {
namespace {

class NetworkTestHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::bindUdp(silentServer_, 0, platform::ipv4(127, 0, 0, 1)));
    platform::UniqueFd probe;
    ASSERT_TRUE(platform::bindUdp(probe, 0));
    const int32_t port = platform::localEndpoint(probe.get()).port;
    transport_.setSettingsSource([port] {
      sip::TransportSettings s;
      s.port = port;
      s.stun = false;
      return s;
    });
    transport_.setPrivateAddressSource([] { return std::string("127.0.0.1"); });
    host_.setStunServers(
        {"127.0.0.1:" + std::to_string(platform::localEndpoint(silentServer_.get()).port)});
  }
  void TearDown() override { transport_.shutdown(); }

  platform::testing::TempDir dir_;
  base::SettingsStore store_{dir_.file("settings.ini"), dir_.file("machine.ini")};
  platform::PlainMessageLoop loop_;
  platform::ScriptedPrompts prompts_{loop_, platform::PromptAnswer::Cancel};
  sip::SipTransport transport_;
  AppNetworkTestHost host_{store_, prompts_, transport_};
  platform::UniqueFd silentServer_;
};

TEST_F(NetworkTestHostTest, StaticMappingStopsBeforeTheTransport) {
  store_.writeBool("SIP", "STATIC", true);
  transport_.restart();
  ASSERT_TRUE(transport_.waitReady(5000));
  EXPECT_EQ(net::runNetworkingTest(host_), 2);
  ASSERT_EQ(prompts_.informed().size(), 1u);
  EXPECT_EQ(prompts_.informed()[0].title, "Error");
  EXPECT_TRUE(prompts_.asked().empty());
  EXPECT_TRUE(transport_.running());
}

}  // namespace
}  // namespace quillet::app
