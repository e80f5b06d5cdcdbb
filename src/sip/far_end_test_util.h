// SPDX-License-Identifier: Apache-2.0
// The engine tests' far end and fixture: a UDP socket on loopback, the requests it sends
// and answers it makes, and a SipEngine on loopback pumped on a plain GUI loop.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "platform/message_loop.h"
#include "platform/socket.h"
#include "platform/test_util.h"
#include "sip/sip_engine.h"
#include "sip/sip_transport.h"

namespace quillet::sip::testutil {

class FarEnd {
 public:
  FarEnd() {
    platform::bindUdp(socket_, 0, htonl(INADDR_LOOPBACK));
    port_ = platform::localEndpoint(socket_.get()).port;
  }
  uint16_t port() const { return port_; }
  void send(uint16_t to, const std::string& text) {
    platform::Endpoint e{htonl(INADDR_LOOPBACK), to};
    platform::sendTo(socket_.get(), text.data(), text.size(), e);
  }
  // The next datagram within the time limit ("" when none).
  std::string receive(int timeoutMs = 2000) {
    pollfd p{socket_.get(), POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return {};
    char buffer[8192];
    const int n = platform::recvFrom(socket_.get(), buffer, sizeof buffer, nullptr);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  }

 private:
  platform::UniqueFd socket_;
  uint16_t port_ = 0;
};

inline const std::string kFarFrom = "<sip:far@127.0.0.1>;tag=f1";

// The far end's SDP: PCMU to its media port.
inline std::string mediaOffer(uint16_t port) {
  return "v=0\r\no=far 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\nm=audio " +
         std::to_string(port) + " RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";
}

inline const std::string kOffer = mediaOffer(40000);

// A request of the far end (port `far`) to `user` at the engine (port `engine`).
inline std::string request(const std::string& method, uint16_t engine, uint16_t far,
                           const std::string& user, const std::string& callId,
                           const std::string& extra = "", const std::string& body = "",
                           const std::string& from = kFarFrom) {
  std::string text = method + " sip:" + user + "@127.0.0.1:" + std::to_string(engine) +
                     " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(far) +
                     ";branch=z9hG4bK-" + callId + "\r\nFrom: " + from + "\r\nTo: <sip:" + user +
                     "@127.0.0.1>\r\nCall-ID: " + callId + "\r\nCSeq: 1 " + method +
                     "\r\nContact: <sip:far@127.0.0.1:" + std::to_string(far) + ">\r\n" + extra;
  if (body.empty()) return text + "Content-Length: 0\r\n\r\n";
  return text + "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

// The value of a header of a message ("" when none).
inline std::string headerOf(const std::string& message, const std::string& name) {
  const std::string key = "\r\n" + name + ": ";
  const size_t at = message.find(key);
  if (at == std::string::npos) return {};
  const size_t start = at + key.size();
  return message.substr(start, message.find("\r\n", start) - start);
}

// The far end's answer to a request of the engine: its Via, From, To (with `toTag`
// added when it has none), Call-ID and CSeq, then `extra` headers and the SDP body if any.
inline std::string responseTo(const std::string& request, const std::string& status,
                              const std::string& toTag, const std::string& extra = "",
                              const std::string& sdp = "") {
  std::string text = "SIP/2.0 " + status + "\r\n";
  for (const std::string name : {"Via", "From", "To", "Call-ID", "CSeq"}) {
    const std::string value = headerOf(request, name);
    const bool tag = name == "To" && value.find(";tag=") == std::string::npos;
    text += name + ": " + value + (tag ? ";tag=" + toTag : "") + "\r\n";
  }
  if (sdp.empty()) return text + extra + "Content-Length: 0\r\n\r\n";
  return text + extra +
         "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) +
         "\r\n\r\n" + sdp;
}

// The ACK of a final response to the INVITE of callId sent by the far end.
inline std::string ackOf(const std::string& response, uint16_t engine, uint16_t far,
                         const std::string& callId, const std::string& from = kFarFrom) {
  return "ACK sip:alice@127.0.0.1:" + std::to_string(engine) +
         " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(far) + ";branch=z9hG4bK-" +
         callId + "\r\nFrom: " + from + "\r\nTo: " + headerOf(response, "To") +
         "\r\nCall-ID: " + callId + "\r\nCSeq: 1 ACK\r\nContent-Length: 0\r\n\r\n";
}

inline LineIdentity lineOf(const std::string& user) {
  LineIdentity line;
  line.userName = user;
  return line;
}

// A SipEngine on loopback (configured port `port_`, else one free when it starts; no STUN)
// and a far end.
class EngineFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setGuiLoop(&loop_);
    transport_.setSettingsSource([this] {
      TransportSettings s;
      s.port = port_;
      s.stun = false;
      return s;
    });
    transport_.setPrivateAddressSource([] { return std::string("127.0.0.1"); });
  }
  void TearDown() override {
    engine_.reset();
    transport_.shutdown();
    platform::setGuiLoop(nullptr);
  }
  void start(const LineIdentity& line, std::unique_ptr<CallMedia> media) {
    engine_ = std::make_unique<SipEngine>(transport_, line, std::move(media));
    if (port_ == 0) port_ = platform::testing::freeUdpPort();
    transport_.restart();
    ASSERT_TRUE(transport_.waitReady(5000));
    enginePort_ = transport_.boundPort();
  }
  void start() { start(lineOf("alice"), makeSignallingOnlyMedia("127.0.0.1")); }
  // Runs the GUI loop's pending work (the event pump runs there) until `done`.
  template <typename Pred>
  bool pumpUntil(Pred done, std::chrono::milliseconds limit = std::chrono::seconds(3)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      loop_.runPending();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }
  // The next datagram to the far end that starts with `prefix`, pumping the GUI loop
  // ("" when none came in time).
  std::string awaitMessage(const std::string& prefix,
                           std::chrono::milliseconds limit = std::chrono::seconds(3)) {
    std::string found;
    pumpUntil(
        [&] {
          const std::string m = far_.receive(1);
          if (m.rfind(prefix, 0) == 0) found = m;
          return !found.empty();
        },
        limit);
    return found;
  }
  // The far end calls alice; the engine rings, answers and is acknowledged. Gives the
  // 200 OK, or "" when the call did not connect.
  std::string connect(const std::string& callId, const std::string& from = kFarFrom) {
    far_.send(enginePort_,
              request("INVITE", enginePort_, far_.port(), "alice", callId, "", kOffer, from));
    EXPECT_FALSE(awaitMessage("SIP/2.0 180 Ringing").empty());
    const std::string ok = awaitMessage("SIP/2.0 200 OK");
    if (ok.empty()) return ok;
    far_.send(enginePort_, ackOf(ok, enginePort_, far_.port(), callId, from));
    return pumpUntil([&] { return engine_->callState() == kCallConnected; }) ? ok : "";
  }

  platform::PlainMessageLoop loop_;
  int32_t port_ = 0;
  SipTransport transport_;
  std::unique_ptr<SipEngine> engine_;
  uint16_t enginePort_ = 0;
  FarEnd far_;
};

}  // namespace quillet::sip::testutil
