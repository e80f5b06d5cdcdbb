// SPDX-License-Identifier: Apache-2.0
// A registration host for tests: it resolves every server to one address and keeps what
// would have been sent.
#pragma once

#include <string>
#include <vector>

#include "platform/socket_address.h"
#include "sip/registration.h"

namespace quillet::sip::testing {

class FakeHost : public RegistrationHost {
 public:
  std::string regPublicAddress() override { return publicAddress; }
  uint16_t regPublicPort() override { return publicPort; }
  std::string regNewBranch() override { return "z9hG4bK" + std::to_string(++branches); }
  bool regResolve(const RegistrationConfig& config, SipTarget& out) override {
    out = SipTarget{};
    out.transport = transport;
    out.address = address;
    return config.outboundServer != "unresolvable";
  }
  uint16_t regLocalPort(TransportKind) override { return 5070; }
  void regSend(const SipTarget&, std::string_view text) override { sent.emplace_back(text); }
  void regSendKeepAlive(const SipTarget&, std::string_view server) override {
    keepAlives.emplace_back(server);
  }
  void regLearnPublicAddress(const std::string& address, uint16_t port) override {
    publicAddress = address;
    publicPort = port;
    learnt.push_back(address + ":" + std::to_string(port));
  }
  void regTargetFailed(const SipTarget&) override { ++failed; }
  int failed = 0;
  TransportKind transport = TransportKind::Udp;
  platform::SocketAddress address = *platform::SocketAddress::parse("192.0.2.10", 5060);
  std::string publicAddress = "203.0.113.7";
  uint16_t publicPort = 5070;
  std::vector<std::string> learnt;
  int branches = 0;
  std::vector<std::string> sent;
  std::vector<std::string> keepAlives;
};

}  // namespace quillet::sip::testing
