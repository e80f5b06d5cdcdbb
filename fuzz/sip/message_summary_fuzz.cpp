// SPDX-License-Identifier: Apache-2.0
// Fuzz target: reading a voicemail server's message summary, and a NOTIFY carrying it
// reaching a subscription (the bytes are the NOTIFY's body).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sip/mailbox_subscription.h"
#include "sip/message_summary.h"
#include "sip/sip_message.h"

using namespace quillet::sip;

namespace {

class NoHost : public RegistrationHost {
 public:
  std::string regPublicAddress() override { return "192.0.2.1"; }
  uint16_t regPublicPort() override { return 5060; }
  std::string regNewBranch() override { return "z9hG4bKf"; }
  bool regResolve(const RegistrationConfig&, SipTarget&) override { return false; }
  uint16_t regLocalPort(TransportKind) override { return 5060; }
  void regSend(const SipTarget&, std::string_view) override {}
  void regSendKeepAlive(const SipTarget&, std::string_view) override {}
  void regLearnPublicAddress(const std::string&, uint16_t) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const std::optional<MessageSummary> summary = parseMessageSummary(body);
  if (summary && (summary->newVoice < -1 || summary->newVoice > 999999 || summary->oldVoice < -1 ||
                  summary->oldVoice > 999999 || (summary->newVoice < 0) != (summary->oldVoice < 0)))
    std::abort();

  NoHost host;
  MailboxList list(host);
  MailboxConfig config;
  config.mailbox = "sip:201@pbx";
  list.add(config, "c1", "t1", 0);
  const std::string text =
      "NOTIFY sip:201@192.0.2.1 SIP/2.0\r\nVia: SIP/2.0/UDP 192.0.2.9;branch=z9hG4bKn\r\n"
      "To: <sip:201@pbx>;tag=t1\r\nFrom: <sip:201@pbx>;tag=box\r\nCall-ID: c1\r\n"
      "CSeq: 1 NOTIFY\r\nEvent: message-summary\r\nSubscription-State: active\r\n"
      "Content-Type: application/simple-message-summary\r\nContent-Length: " +
      std::to_string(size) + "\r\n\r\n" + std::string(body);
  const std::optional<SipMessage> notify = SipMessage::parse(text);
  if (notify && list.onNotify(*notify, 0) != 200) std::abort();
  return 0;
}
