// STUN client against a scripted server socket on loopback: which answers are taken,
// which are ignored, the retransmission after a wrong answer, and both servers failing
// (tests/net/nat_stun runs the requests against stund and coturn).
#include "net/stun_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace quillet::net {
namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

// A Binding Response echoing the request's transaction id, with the given attributes.
Bytes response(const uint8_t* request, const Bytes& attributes) {
  Bytes out(20 + attributes.size(), 0);
  out[0] = 0x01;
  out[1] = 0x01;
  out[2] = static_cast<uint8_t>(attributes.size() >> 8);
  out[3] = static_cast<uint8_t>(attributes.size());
  for (size_t i = 4; i < 20; ++i) out[i] = request[i];
  for (size_t i = 0; i < attributes.size(); ++i) out[20 + i] = attributes[i];
  return out;
}

Bytes mappedAttribute(uint16_t type, uint16_t length, uint16_t port, Bytes address) {
  Bytes out;
  put16(out, type);
  put16(out, length);
  out.push_back(0);
  out.push_back(1);
  put16(out, port);
  out.insert(out.end(), address.begin(), address.end());
  out.resize(4 + ((length + 3u) & ~3u), 0);
  return out;
}

// A server socket on 127.0.0.1 whose thread answers each request with what `answer` gives
// (nothing: silence), counting the requests.
class ScriptedServer {
 public:
  using Answer = std::function<std::vector<Bytes>(const uint8_t* request, int index)>;
  explicit ScriptedServer(Answer answer) : answer_(std::move(answer)) {
    EXPECT_TRUE(platform::bindUdp(socket_, 0, platform::ipv4(127, 0, 0, 1)));
    port_ = platform::localEndpoint(socket_.get()).port;
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedServer() {
    stop_.set();
    thread_.join();
  }
  std::string name() const { return "127.0.0.1:" + std::to_string(port_); }
  int requests() const { return requests_; }

 private:
  void serve() {
    uint8_t buffer[2048];
    while (platform::waitReadable(socket_.get(), 5000, &stop_) == NetResult::Done) {
      platform::Endpoint from;
      const int n = platform::recvFrom(socket_.get(), buffer, sizeof buffer, &from);
      if (n < 20) continue;
      for (const Bytes& reply : answer_(buffer, requests_++)) {
        platform::sendTo(socket_.get(), reply.data(), reply.size(), from);
      }
    }
  }

  Answer answer_;
  platform::UniqueFd socket_;
  uint16_t port_ = 0;
  platform::Event stop_{platform::Event::Reset::Manual};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

class StunClient : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::bindUdp(client_, 0, platform::ipv4(127, 0, 0, 1)));
    setUseSecondStunServer(false);
  }
  platform::UniqueFd client_;
};

// Wrong transaction bytes and a short MAPPED-ADDRESS are ignored within the window; the
// client sends again after 230 ms and takes the good answer that follows.
TEST_F(StunClient, IgnoresWrongTransactionAndShortMappedAddress) {
  ScriptedServer server([](const uint8_t* request, int index) -> std::vector<Bytes> {
    Bytes wrongId(20);
    for (size_t i = 0; i < 20; ++i) wrongId[i] = request[i];
    wrongId[9] ^= 0xFF;
    const Bytes good = mappedAttribute(0x0001, 8, 4000, {198, 51, 100, 7});
    if (index == 0) {
      return {response(wrongId.data(), good),
              response(request, mappedAttribute(0x0001, 6, 4001, {198, 51, 100, 8}))};
    }
    // Another attribute first; the other 12 transaction bytes are not compared.
    Bytes otherBytes(20);
    for (size_t i = 0; i < 20; ++i) otherBytes[i] = request[i];
    otherBytes[15] ^= 0x55;
    Bytes attributes = mappedAttribute(0x8022, 8, 0, {0, 0, 0, 0});
    attributes.insert(attributes.end(), good.begin(), good.end());
    return {response(otherBytes.data(), attributes)};
  });
  StunMapping mapped;
  EXPECT_EQ(stunBinding(nullptr, server.name(), client_.get(), mapped), NetResult::Done);
  EXPECT_EQ(server.requests(), 2);
  EXPECT_EQ(mapped.address, "198.51.100.7");
  EXPECT_EQ(mapped.port, 4000);
}

TEST_F(StunClient, PrefersXorMappedAddress) {
  ScriptedServer server([](const uint8_t* request, int) -> std::vector<Bytes> {
    // A MAPPED-ADDRESS rewritten on the way, then 203.0.113.9:5000 XOR the magic cookie.
    Bytes attributes = mappedAttribute(0x0001, 8, 1, {10, 0, 0, 1});
    const Bytes xored =
        mappedAttribute(0x0020, 8, 5000 ^ 0x2112, {203 ^ 0x21, 0 ^ 0x12, 113 ^ 0xA4, 9 ^ 0x42});
    attributes.insert(attributes.end(), xored.begin(), xored.end());
    return {response(request, attributes)};
  });
  StunMapping mapped;
  ASSERT_EQ(stunBinding(nullptr, server.name(), client_.get(), mapped), NetResult::Done);
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

}  // namespace
}  // namespace quillet::net
