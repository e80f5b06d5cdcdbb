// SPDX-License-Identifier: Apache-2.0
// STUN client against a scripted server socket on loopback: which answers are taken,
// which are ignored, the retransmission after a wrong answer, and both servers failing
// (tests/net/nat_stun runs the requests against stund and coturn).
#include "net/stun_client.h"

#include <gtest/gtest.h>

#include "net/network_setup.h"
#include "net/stun_test_util.h"
#include "platform/message_loop.h"
#include "platform/test_util.h"

namespace quillet::net {
namespace {

using namespace testutil;

class StunClient : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::bindUdp(client_, 0, platform::ipv4(127, 0, 0, 1)));
    setUseSecondStunServer(false);
  }
  platform::UniqueFd client_;
};

// Wrong transaction bytes and a short MAPPED-ADDRESS are ignored within the window; the
// client sends again after 230 ms and takes the XOR-MAPPED-ADDRESS of the answer that follows.
TEST_F(StunClient, IgnoresWrongTransactionAndShortMappedAddress) {
  ScriptedServer server([](const uint8_t* request, int index) -> std::vector<Bytes> {
    Bytes wrongId(request, request + 20);
    wrongId[9] ^= 0xFF;
    const Bytes good = mappedAttribute(0x0001, 8, 4000, {198, 51, 100, 7});
    if (index == 0) {
      return {response(wrongId.data(), good),
              response(request, mappedAttribute(0x0001, 6, 4001, {198, 51, 100, 8}))};
    }
    // Another attribute first, a MAPPED-ADDRESS rewritten on the way, then 203.0.113.9:5000
    // XOR the magic cookie, which wins; the other 12 transaction bytes are not compared.
    Bytes otherBytes(request, request + 20);
    otherBytes[15] ^= 0x55;
    Bytes attributes = mappedAttribute(0x8022, 8, 0, {0, 0, 0, 0});
    attributes.insert(attributes.end(), good.begin(), good.end());
    const Bytes xored =
        mappedAttribute(0x0020, 8, 5000 ^ 0x2112, {203 ^ 0x21, 0 ^ 0x12, 113 ^ 0xA4, 9 ^ 0x42});
    attributes.insert(attributes.end(), xored.begin(), xored.end());
    return {response(otherBytes.data(), attributes)};
  });
  StunMapping mapped;
  EXPECT_EQ(stunBinding(nullptr, server.name(), client_.get(), mapped), NetResult::Done);
  EXPECT_EQ(server.requests(), 2);
  EXPECT_EQ(mapped.address, "203.0.113.9");
  EXPECT_EQ(mapped.port, 5000);
}

// Both servers silent: failure, and the next resolution asks the first server first again
// (the switch to a second server that answers is transport_stun's and nat_stun's).
TEST_F(StunClient, BothServersSilentFailAndSwitchBackToTheFirst) {
  ScriptedServer silent([](const uint8_t*, int) { return std::vector<Bytes>{}; });
  setUseSecondStunServer(true);
  StunMapping mapped;
  EXPECT_EQ(stunResolve(nullptr, client_.get(), 5070, {silent.name(), silent.name()}, mapped),
            NetResult::Failed);
  EXPECT_EQ(silent.requests(), 6);
  EXPECT_FALSE(useSecondStunServer());
}

TEST_F(StunClient, StopEventCancelsTheWait) {
  ScriptedServer silent([](const uint8_t*, int) { return std::vector<Bytes>{}; });
  platform::Event stop{platform::Event::Reset::Manual};
  stop.set();
  StunMapping mapped;
  EXPECT_EQ(stunBinding(&stop, silent.name(), client_.get(), mapped), NetResult::Cancelled);
  EXPECT_EQ(stunChangeTest(&stop, silent.name(), client_.get()), NetResult::Cancelled);
}

// A change request answered from the server's own address is a failed test.
TEST_F(StunClient, ChangeAnswerFromServerAddressFails) {
  ScriptedServer server([](const uint8_t* request, int) -> std::vector<Bytes> {
    return {response(request, mappedAttribute(0x0001, 8, 7000, {192, 0, 2, 1}))};
  });
  EXPECT_EQ(stunChangeTest(nullptr, server.name(), client_.get()), NetResult::Failed);
  EXPECT_EQ(server.requests(), 1);
}

// The networking test's choice: a server that names no other address of its own (as most
// public ones) cannot judge the NAT's filtering, however its change request goes; one that
// names one does.
TEST_F(StunClient, OnlyServersNamingAnotherAddressJudgeTheNatsFiltering) {
  // Both answer a change request from their own address: the NAT would be called symmetric.
  ScriptedServer plain([](const uint8_t* request, int) -> std::vector<Bytes> {
    return {response(request, mappedAttribute(0x0001, 8, 7000, {192, 0, 2, 1}))};
  });
  ScriptedServer judge([](const uint8_t* request, int) -> std::vector<Bytes> {
    Bytes attributes = mappedAttribute(0x0001, 8, 7000, {192, 0, 2, 1});
    const Bytes other = mappedAttribute(0x0005, 8, 3479, {127, 0, 0, 2});  // CHANGED-ADDRESS
    attributes.insert(attributes.end(), other.begin(), other.end());
    return {response(request, attributes)};
  });
  struct Host : NetworkTestHost {
    platform::testing::TempDir dir;
    base::SettingsStore store{dir.file("settings.ini"), dir.file("machine.ini")};
    platform::PlainMessageLoop loop;
    platform::ScriptedPrompts answers{loop};
    std::vector<std::string> servers;
    base::SettingsStore& settings() override { return store; }
    platform::Prompts& prompts() override { return answers; }
    std::vector<std::string> stunServers() override { return servers; }
  };
  Host host;
  host.servers = {plain.name()};
  EXPECT_EQ(chooseStunServers(host, client_.get()), NetResult::Done);
  EXPECT_TRUE(host.store.readBool("SIP", "STUN", false));
  EXPECT_EQ(host.store.readText("SIP", "STUNServer1"), plain.name());
  EXPECT_EQ(plain.requests(), 1);  // the binding; no change request
  host.servers = {plain.name(), judge.name()};
  EXPECT_EQ(chooseStunServers(host, client_.get()), NetResult::Failed);
  EXPECT_FALSE(host.store.readBool("SIP", "STUN", true));
  EXPECT_GE(judge.requests(), 2);  // the binding and the change request
}

}  // namespace
}  // namespace quillet::net
