// SPDX-License-Identifier: Apache-2.0
// The STUN tests' server: a socket on 127.0.0.1 whose thread answers each Binding Request
// as a script says, and the builders of its answers.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/socket.h"

namespace quillet::net::testutil {

using Bytes = std::vector<uint8_t>;

inline void put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

// A Binding Response echoing the request's transaction id, with the given attributes.
inline Bytes response(const uint8_t* request, const Bytes& attributes) {
  Bytes out(request, request + 20);
  out[0] = 0x01;
  out[1] = 0x01;
  out[2] = static_cast<uint8_t>(attributes.size() >> 8);
  out[3] = static_cast<uint8_t>(attributes.size());
  out.insert(out.end(), attributes.begin(), attributes.end());
  return out;
}

// A (XOR-)MAPPED-ADDRESS of IPv4 `address` as written, `length` as declared.
inline Bytes mappedAttribute(uint16_t type, uint16_t length, uint16_t port, Bytes address) {
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

// Answers each request with what `answer` gives (nothing: silence), counting the requests
// and the 4-byte keep-alives.
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
  int keepAlives() const { return keepAlives_; }

 private:
  void serve() {
    uint8_t buffer[2048];
    while (platform::waitReadable(socket_.get(), 10000, &stop_) == platform::NetResult::Done) {
      platform::Endpoint from;
      const int n = platform::recvFrom(socket_.get(), buffer, sizeof buffer, &from);
      if (n == 4) ++keepAlives_;
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
  std::atomic<int> keepAlives_{0};
  std::thread thread_;
};

}  // namespace quillet::net::testutil
