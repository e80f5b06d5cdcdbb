// The SIP transport's public address through STUN: a silent first server, the second one
// answering, the public address taken from it, and the NAT keep-alives going to it.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "net/stun_client.h"
#include "platform/socket.h"
#include "sip/sip_transport.h"

namespace quillet::sip {
namespace {

// A loopback STUN server that answers binding requests (or stays silent) and counts them
// and the 4-byte keep-alives.
class LoopbackStun {
 public:
  explicit LoopbackStun(bool answers) : answers_(answers) {
    EXPECT_TRUE(platform::bindUdp(socket_, 0, platform::ipv4(127, 0, 0, 1)));
    thread_ = std::thread([this] { serve(); });
  }
  ~LoopbackStun() {
    stop_.set();
    thread_.join();
  }
  std::string name() const {
    return "127.0.0.1:" + std::to_string(platform::localEndpoint(socket_.get()).port);
  }
  std::atomic<int> requests{0};
  std::atomic<int> keepAlives{0};

 private:
  void serve() {
    uint8_t in[2048];
    while (platform::waitReadable(socket_.get(), 10000, &stop_) == platform::NetResult::Done) {
      platform::Endpoint from;
      const int n = platform::recvFrom(socket_.get(), in, sizeof in, &from);
      if (n == 4) ++keepAlives;
      if (n != 20 || in[1] != 0x01) continue;
      ++requests;
      if (!answers_) continue;
      // Binding Response: the request's id, MAPPED-ADDRESS 198.51.100.9:40000.
      uint8_t out[32] = {0x01, 0x01, 0, 12};
      for (int i = 4; i < 20; ++i) out[i] = in[i];
      const uint8_t mapped[12] = {0, 1, 0, 8, 0, 1, 0x9C, 0x40, 198, 51, 100, 9};
      for (int i = 0; i < 12; ++i) out[20 + i] = mapped[i];
      platform::sendTo(socket_.get(), out, sizeof out, from);
    }
  }

  bool answers_;
  platform::UniqueFd socket_;
  platform::Event stop_{platform::Event::Reset::Manual};
  std::thread thread_;
};

TEST(TransportStun, PublicAddressAndKeepAlivesFromTheServerThatAnswers) {
  net::setUseSecondStunServer(false);
  LoopbackStun silent(false);
  LoopbackStun answering(true);
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
  for (int i = 0; i < 200 && answering.keepAlives == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  transport.shutdown();
  EXPECT_EQ(transport.publicAddress().address, "198.51.100.9");
  EXPECT_EQ(transport.publicAddress().port, 40000);
  EXPECT_EQ(silent.requests, 3);
  EXPECT_EQ(answering.requests, 1);
  EXPECT_TRUE(net::useSecondStunServer());
  EXPECT_EQ(answering.keepAlives, 1);
  EXPECT_EQ(silent.keepAlives, 0);
  net::setUseSecondStunServer(false);
}

}  // namespace
}  // namespace quillet::sip
