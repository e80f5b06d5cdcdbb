// A hand-written far end for the engine tests: a UDP socket on loopback, the requests it
// sends and a header reader for what comes back.
#pragma once

#include <arpa/inet.h>
#include <poll.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/socket.h"

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
  // The next datagram whose first line starts with `prefix`.
  std::string receiveStarting(const std::string& prefix, int timeoutMs = 3000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
      std::string m = receive(50);
      if (m.rfind(prefix, 0) == 0) return m;
    }
    return {};
  }

 private:
  platform::UniqueFd socket_;
  uint16_t port_ = 0;
};

inline const std::string kFarFrom = "<sip:far@127.0.0.1>;tag=f1";

inline const std::string kOffer =
    "v=0\r\no=far 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
    "m=audio 40000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";

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

// The ACK of a final response to the INVITE of callId sent by the far end.
inline std::string ackOf(const std::string& response, uint16_t engine, uint16_t far,
                         const std::string& callId, const std::string& from = kFarFrom) {
  return "ACK sip:alice@127.0.0.1:" + std::to_string(engine) +
         " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(far) + ";branch=z9hG4bK-" +
         callId + "\r\nFrom: " + from + "\r\nTo: " + headerOf(response, "To") +
         "\r\nCall-ID: " + callId + "\r\nCSeq: 1 ACK\r\nContent-Length: 0\r\n\r\n";
}

}  // namespace quillet::sip::testutil
