// SPDX-License-Identifier: Apache-2.0
// What the RTP session's loopback tests share: a raw UDP peer, a run of free ports, the
// settings and far-end SDP of a loopback call and RTP packets to send.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "media/rtp_packet.h"
#include "media/rtp_session.h"
#include "platform/socket.h"
#include "platform/test_util.h"

namespace quillet::media::rtptest {

// A plain UDP socket on loopback standing in for the far end (or for a stranger, on
// another loopback address); it sends to the session on 127.0.0.1.
class RawPeer {
 public:
  explicit RawPeer(uint32_t address = platform::ipv4(127, 0, 0, 1)) {
    EXPECT_TRUE(platform::bindUdp(socket_, 0, address));
  }
  uint16_t port() const { return platform::localEndpoint(socket_.get()).port; }
  void send(const std::vector<uint8_t>& bytes, uint16_t toPort) {
    platform::sendTo(socket_.get(), bytes.data(), bytes.size(), {loopback_, toPort});
  }
  // Next datagram within timeoutMs, or empty.
  std::vector<uint8_t> receive(int32_t timeoutMs) {
    std::vector<uint8_t> bytes(5000);
    if (platform::waitReadable(socket_.get(), timeoutMs, nullptr) != platform::NetResult::Done) {
      return {};
    }
    int n = platform::recvFrom(socket_.get(), bytes.data(), bytes.size(), nullptr);
    bytes.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return bytes;
  }
  std::vector<std::vector<uint8_t>> receiveAll(int32_t quietMs) {
    std::vector<std::vector<uint8_t>> all;
    while (true) {
      auto bytes = receive(quietMs);
      if (bytes.empty()) return all;
      all.push_back(std::move(bytes));
    }
  }

 private:
  const uint32_t loopback_ = platform::ipv4(127, 0, 0, 1);
  platform::UniqueFd socket_;
};

// The start of eight UDP ports (a multiple of eight) that were all free a moment ago: the
// session binds the first free even port from its base up, and the tests count on those
// next to the base.
inline uint16_t freePortRun() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const auto base = static_cast<uint16_t>(platform::testing::freeUdpPort() & ~7);
    if (base == 0) continue;
    std::array<platform::UniqueFd, 8> held;
    bool free = true;
    for (uint16_t i = 0; i < held.size() && free; ++i) {
      free = platform::bindUdp(held[i], static_cast<uint16_t>(base + i));
    }
    if (free) return base;
  }
  ADD_FAILURE() << "no run of eight free UDP ports";
  return 0;
}

inline RtpSettings loopbackSettings(uint16_t portBase) {
  RtpSettings settings;
  settings.portBase = portBase;
  settings.nat.stun = false;
  // The narrowband codecs: sinks at 8000 Hz, as most of these tests write.
  settings.sdp.codecs = {codecs::CodecId::kPcmu, codecs::CodecId::kPcma, codecs::CodecId::kG726_32,
                         codecs::CodecId::kG726_32Aal2, codecs::CodecId::kGsm};
  return settings;
}

inline std::string answerFrom(uint16_t port, const std::string& formats,
                              const std::string& extra = "") {
  return "v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio " + std::to_string(port) + " RTP/AVP " + formats +
         "\r\n" + extra;
}

inline std::vector<uint8_t> rtp(uint8_t type, uint16_t seq, uint32_t ts, uint32_t ssrc,
                                const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> bytes(kRtpHeaderSize + payload.size());
  writeRtpHeader(bytes.data(), false, type, seq, ts, ssrc);
  std::copy(payload.begin(), payload.end(), bytes.begin() + kRtpHeaderSize);
  return bytes;
}

}  // namespace quillet::media::rtptest
