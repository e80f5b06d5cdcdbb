// SPDX-License-Identifier: Apache-2.0
// Any response to a REGISTER: expiry from Expires and Contact lists, digest challenges,
// the address its Via reports.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sip/registration.h"
#include "sip/sip_message.h"

namespace {

class NullHost : public quillet::sip::RegistrationHost {
 public:
  std::string regPublicAddress() override { return "203.0.113.7"; }
  uint16_t regPublicPort() override { return 5070; }
  std::string regNewBranch() override { return "z9hG4bK1"; }
  bool regResolve(const quillet::sip::RegistrationConfig&, quillet::sip::SipTarget& out) override {
    out = quillet::sip::SipTarget{};
    return true;
  }
  uint16_t regLocalPort(quillet::sip::TransportKind) override { return 5070; }
  void regSend(const quillet::sip::SipTarget&, std::string_view) override {}
  void regSendKeepAlive(const quillet::sip::SipTarget&, std::string_view) override {}
  void regLearnPublicAddress(const std::string&, uint16_t) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillet::sip;
  const auto message =
      SipMessage::parse(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!message) return 0;
  NullHost host;
  RegistrationList list(host);
  RegistrationConfig config;
  config.server = "pbx.test";
  config.outboundServer = "pbx.test";
  config.addressOfRecord = "sip:200@pbx.test";
  config.user = "200";
  config.authUser = "200";
  config.password = "pw";
  list.add(config, message->header(hdr::kCallId), "1", 1000);
  bool keepAlives = true;
  list.drive(1000, keepAlives, [] { return false; });
  list.onResponse(*message, 2000);
  list.onResponse(*message, 3000);  // a second answer: the wrong-password path
  int32_t wait = 20000;
  list.adjustWait(4000, keepAlives, wait);
  return 0;
}
