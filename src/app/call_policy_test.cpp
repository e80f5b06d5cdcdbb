// SPDX-License-Identifier: Apache-2.0
// Tests of the application's settings-driven decisions: line values, command-line plans,
// callto addresses and the allow list (hot-key records are read by the app test's hot
// keys and named in the hot-key dialog test).
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/allow_list.h"
#include "app/arguments.h"
#include "app/door_control.h"
#include "app/line_values.h"
#include "base/log.h"
#include "platform/test_util.h"

namespace quillet::app {
namespace {

class SettingsFixture : public ::testing::Test {
 protected:
  platform::testing::TempDir dir_;
  base::SettingsStore store_{dir_.file("settings.ini"), dir_.file("machine.ini")};
};

// A line with its own values (UseDefault 0) beside the default one: transfer_e2e's join
// across two lines.
using LineValuesTest = SettingsFixture;

TEST_F(LineValuesTest, OutboundServerAndAuthIdFollowTheirChoices) {
  store_.writeText("DefaultLine", "UserName", "200");
  store_.writeText("DefaultLine", "Proxy", "pbx.example.org");
  store_.writeText("DefaultLine", "OutboundServer", "edge.example.org");
  store_.writeText("DefaultLine", "AuthID", "auth200");
  LineValues values = readLineValues(store_, 0);
  EXPECT_EQ(values.outboundServer, "pbx.example.org");
  EXPECT_EQ(values.authId, "200");  // the stored AuthID is ignored with choice 0

  store_.writeInt("DefaultLine", "UseOutboundServer", 1);
  store_.writeInt("DefaultLine", "UseAuthentication", 1);
  values = readLineValues(store_, 0);
  EXPECT_EQ(values.outboundServer, "edge.example.org");
  EXPECT_EQ(values.authId, "auth200");

  store_.writeInt("DefaultLine", "UseOutboundServer", 2);
  store_.writeInt("DefaultLine", "UseAuthentication", 7);
  values = readLineValues(store_, 0);
  EXPECT_EQ(values.outboundServer, "");
  EXPECT_EQ(values.authId, "");
}

// Opus's bit rate: the default, a rate set, and a bad one logged and read as the default.
TEST_F(LineValuesTest, OpusBitRateIsReadWithinItsRange) {
  base::LogView view;
  base::LogWriter::instance().setFolder(dir_.path());
  base::LogWriter::instance().setView(&view);
  EXPECT_EQ(readLineValues(store_, 0).opusBitRate, 32000);
  store_.writeText("DefaultLine", "OpusBitrate", "24000");
  EXPECT_EQ(readLineValues(store_, 0).opusBitRate, 24000);
  for (const char* bad : {"5999", "510001", "fast", "24000 bit/s"}) {
    store_.writeText("DefaultLine", "OpusBitrate", bad);
    EXPECT_EQ(readLineValues(store_, 0).opusBitRate, 32000) << bad;
  }
  std::vector<std::string> logged;
  for (const base::LogViewLine& line : view.lines()) logged.push_back(line.message);
  ASSERT_EQ(logged.size(), 4u);
  EXPECT_EQ(logged[2],
            "DefaultLine/OpusBitrate: \"fast\" is not 6000 to 510000 bit/s, 32000 is used");
  base::LogWriter::instance().setView(nullptr);
}

// The transport and TLS settings of the line's section, with the defaults of an empty
// section and a clear log line (and the safe reading) for values that mean nothing.
TEST_F(LineValuesTest, TransportAndTlsSettingsReadWithSafeDefaults) {
  base::LogView view;
  base::LogWriter::instance().setFolder(dir_.path());
  base::LogWriter::instance().setView(&view);
  LineValues values = readLineValues(store_, 0);
  EXPECT_EQ(values.transport, std::nullopt);
  EXPECT_TRUE(values.tlsVerifyServer);
  EXPECT_EQ(values.tlsCaFile, "");
  EXPECT_EQ(values.tlsCertFile, "");
  EXPECT_EQ(values.tlsKeyFile, "");

  store_.writeText("DefaultLine", "Transport", "TLS");
  store_.writeText("DefaultLine", "TLSCAFile", "/etc/quillet/pbx-ca.pem");
  store_.writeText("DefaultLine", "TLSVerifyServer", "0");
  store_.writeText("DefaultLine", "TLSCertFile", "/home/ann/desk.crt");
  store_.writeText("DefaultLine", "TLSKeyFile", "/home/ann/desk.key");
  values = readLineValues(store_, 0);
  EXPECT_EQ(values.transport, sip::TransportKind::Tls);
  EXPECT_EQ(values.tlsCaFile, "/etc/quillet/pbx-ca.pem");
  EXPECT_FALSE(values.tlsVerifyServer);
  EXPECT_EQ(values.tlsCertFile, "/home/ann/desk.crt");
  EXPECT_EQ(values.tlsKeyFile, "/home/ann/desk.key");

  // A line with its own section reads its own values, not the default line's.
  store_.writeInt("Line2", "UseDefault", 0);
  store_.writeText("Line2", "Transport", " tcp ");
  EXPECT_EQ(readLineValues(store_, 1).transport, sip::TransportKind::Tcp);
  EXPECT_TRUE(readLineValues(store_, 1).tlsVerifyServer);

  store_.writeText("DefaultLine", "Transport", "Auto");
  EXPECT_EQ(readLineValues(store_, 0).transport, std::nullopt);
  EXPECT_EQ(view.size(), 0u);  // nothing to complain about so far

  // Unknown texts: the transport is chosen as for auto, the server's certificate is checked.
  store_.writeText("DefaultLine", "Transport", "sctp");
  store_.writeText("DefaultLine", "TLSVerifyServer", "off");
  values = readLineValues(store_, 0);
  EXPECT_EQ(values.transport, std::nullopt);
  EXPECT_TRUE(values.tlsVerifyServer);
  std::vector<std::string> logged;
  for (const base::LogViewLine& line : view.lines()) logged.push_back(line.message);
  EXPECT_EQ(logged, (std::vector<std::string>{
                        "DefaultLine/Transport: unknown transport \"sctp\" (auto, udp, tcp or "
                        "tls), the transport is chosen from the server",
                        "DefaultLine/TLSVerifyServer: \"off\" is neither 0 nor 1, the server's "
                        "certificate is verified"}));
  base::LogWriter::instance().setView(nullptr);
}

// The effective transport, as the registration picks it: what the address the REGISTER goes
// to names (sips: or ;transport=), then the setting, then UDP.
TEST(LineTransport, TheServerAddressThenTheSettingThenUdp) {
  using sip::TransportKind;
  const auto transport = [](const char* outbound,
                            std::optional<TransportKind> setting = std::nullopt) {
    LineValues values;
    values.proxy = "pbx.example.org";
    values.outboundServer = outbound;
    values.transport = setting;
    return lineTransport(values);
  };
  EXPECT_EQ(transport(""), TransportKind::Udp);
  EXPECT_EQ(transport("pbx.example.org:5060"), TransportKind::Udp);
  EXPECT_EQ(transport("sips:pbx.example.org"), TransportKind::Tls);
  EXPECT_EQ(transport(" SIPS:201@pbx.example.org:5061 "), TransportKind::Tls);
  EXPECT_EQ(transport("pbx.example.org;transport=tcp"), TransportKind::Tcp);
  EXPECT_EQ(transport("sip:pbx.example.org:5061;Transport=TLS"), TransportKind::Tls);
  // sips: asks for TLS whatever the parameter says.
  EXPECT_EQ(transport("sips:pbx.example.org;transport=tcp"), TransportKind::Tls);
  // Parameters that name no transport this line speaks leave the choice to the setting.
  EXPECT_EQ(transport("pbx.example.org;transport=sctp"), TransportKind::Udp);
  EXPECT_EQ(transport("pbx.example.org;transport=", TransportKind::Tcp), TransportKind::Tcp);
  EXPECT_EQ(transport("pbx.example.org;transport", TransportKind::Tls), TransportKind::Tls);
  EXPECT_EQ(transport("pbx.example.org;maddr=10.0.0.1", TransportKind::Tls), TransportKind::Tls);
  // The setting serves where the address names nothing, also without a server.
  EXPECT_EQ(transport("pbx.example.org", TransportKind::Tcp), TransportKind::Tcp);
  EXPECT_EQ(transport("", TransportKind::Tls), TransportKind::Tls);
  // A transport the address names wins over the setting.
  EXPECT_EQ(transport("sips:pbx.example.org", TransportKind::Udp), TransportKind::Tls);
  EXPECT_EQ(transport("pbx.example.org;transport=tcp", TransportKind::Tls), TransportKind::Tcp);
}

// The options keep their order and values; an option without its value does nothing, and
// the value of -dial is taken even when it looks like an option.
TEST(ArgumentPlan, OptionsKeepTheirOrderAndValues) {
  ArgumentPlan plan =
      planArguments({"q", "-DIAL", "sip:bob@10.0.0.2", "-dtmf", "123", "-answer", "-hangup"});
  ASSERT_EQ(plan.steps.size(), 4u);
  EXPECT_EQ(plan.steps[0], (ArgumentStep{ArgumentAction::Dial, "sip:bob@10.0.0.2"}));
  EXPECT_EQ(plan.steps[1], (ArgumentStep{ArgumentAction::Dtmf, "123"}));
  EXPECT_EQ(plan.steps[2].action, ArgumentAction::Answer);
  EXPECT_EQ(plan.steps[3].action, ArgumentAction::HangUp);
  plan = planArguments({"q", "-HOLD", "-resume", "-Page", "channel:24", "-StopListening", "-Call",
                        "callto://202/x", "-page"});
  ASSERT_EQ(plan.steps.size(), 5u);
  EXPECT_EQ(plan.steps[0].action, ArgumentAction::Hold);
  EXPECT_EQ(plan.steps[1].action, ArgumentAction::Resume);
  EXPECT_EQ(plan.steps[2], (ArgumentStep{ArgumentAction::Page, "channel:24"}));
  EXPECT_EQ(plan.steps[3].action, ArgumentAction::StopListening);
  EXPECT_EQ(plan.steps[4], (ArgumentStep{ArgumentAction::Call, "202"}));
  EXPECT_TRUE(planArguments({"q", "-dial"}).steps.empty());
  plan = planArguments({"q", "-dial", "-hide"});
  ASSERT_EQ(plan.steps.size(), 1u);
  EXPECT_EQ(plan.steps[0].value, "-hide");
  EXPECT_EQ(plan.window, WindowChange::None);
  // A bare link dials as a link handler passes it; anything else is listed as ignored.
  plan = planArguments({"q", "callto://201/x", "SIP:door@10.0.0.3", "-bogus", "tel:7042"});
  ASSERT_EQ(plan.steps.size(), 3u);
  EXPECT_EQ(plan.steps[0], (ArgumentStep{ArgumentAction::Dial, "201"}));
  EXPECT_EQ(plan.steps[1], (ArgumentStep{ArgumentAction::Dial, "SIP:door@10.0.0.3"}));
  EXPECT_EQ(plan.steps[2], (ArgumentStep{ArgumentAction::Dial, "7042"}));
  EXPECT_EQ(plan.ignored, std::vector<std::string>{"-bogus"});
}

TEST(DialAddress, CalltoUrlsGiveTheNumber) {
  EXPECT_EQ(dialAddress("callto://12345/extra/path"), "12345");
  EXPECT_EQ(dialAddress("see callto:+49 301234"), "49 301234");
  EXPECT_EQ(dialAddress("callto:bob"), "");
  EXPECT_EQ(dialAddress("tel:+49-30-(1234).56;phone-context=example.com"), "+4930123456");
  EXPECT_EQ(dialAddress("TEL:7042"), "7042");
  EXPECT_EQ(dialAddress("sip:bob@127.0.0.1:5072"), "sip:bob@127.0.0.1:5072");
  EXPECT_EQ(dialAddress("CALLTO:123"), "CALLTO:123");  // case-sensitive: dialled unchanged
  EXPECT_EQ(dialAddress("sip:bob@example.org/x"), "sip:bob@example.org/x");
  EXPECT_EQ(dialAddress("callto:" + std::string(300, '7')).size(), 259u);
}

// Everybody by default, an empty list and an empty item: intercom_e2e's allow-list test.
using AllowListTest = SettingsFixture;

TEST_F(AllowListTest, ItemsMatchAsCaseSensitiveSubstringsAndQuotesHoldCommas) {
  store_.writeBool("Intercom", "AllowAll", false);
  store_.writeText("Intercom", "Allow", "192.168.1.20, alice,\"Door, front\"");
  EXPECT_TRUE(isCallerAllowed(store_, "sip:200@192.168.1.20:5070"));
  EXPECT_TRUE(isCallerAllowed(store_, "sip:alice@pbx.example.org"));
  EXPECT_FALSE(isCallerAllowed(store_, "sip:Alice@pbx.example.org"));
  EXPECT_FALSE(isCallerAllowed(store_, "sip:bob@192.168.1.21"));
  EXPECT_TRUE(isCallerAllowed(store_, "\"Door, front\" <sip:door@10.0.0.9>"));
  EXPECT_FALSE(isCallerAllowed(store_, "sip:door@10.0.0.9"));
}

using IncomingDecisionTest = SettingsFixture;

// The decisions about an incoming call that dialects_e2e does not reach through the
// program (it proves the dialects with AnswerAll on and off, a required mode refused with
// 403, do-not-disturb for a caller on the list, a registered line's direct calls, and a
// forged From with and without VerifiedIdentity).
TEST_F(IncomingDecisionTest, IntercomPhoneCallOrRefusal) {
  using D = IncomingDecision;
  sip::IncomingCallFacts plain;
  sip::IncomingCallFacts autoAsked;
  autoAsked.autoAnswer.mode = sip::AnswerMode::Auto;
  sip::IncomingCallFacts manual;
  manual.autoAnswer.mode = sip::AnswerMode::Manual;
  IncomingContext direct{"alice@192.0.2.1", false, false, false};
  auto decide = [&](const sip::IncomingCallFacts& facts, const IncomingContext& context) {
    return decideIncoming(store_, facts, context).decision;
  };
  EXPECT_EQ(decide(plain, direct), D::Intercom);
  EXPECT_EQ(decide(manual, direct), D::PhoneCall);

  // Through do-not-disturb (Priv-Answer-Mode) not for AllowAll; a required one is refused.
  IncomingContext dnd{"alice@192.0.2.1", true, false, false};
  EXPECT_EQ(decide(plain, dnd), D::Busy);
  sip::IncomingCallFacts privRequired;
  privRequired.autoAnswer.privMode = sip::AnswerMode::Auto;
  privRequired.autoAnswer.privRequired = true;
  EXPECT_EQ(decide(privRequired, dnd), D::Forbid);
  EXPECT_EQ(manualAnswerHeader(privRequired.autoAnswer), "Priv-Answer-Mode: Manual\r\n");

  // A registered line: a direct call from a known address answers by itself.
  IncomingContext registered{"alice@192.0.2.1", false, true, true};
  EXPECT_EQ(decide(autoAsked, registered), D::Intercom);

  // Verified identity: a P-Asserted-Identity off the list is refused even through the proxy.
  store_.writeBool("Intercom", "AllowAll", false);
  store_.writeText("Intercom", "Allow", "carol");
  store_.writeBool("Intercom", "VerifiedIdentity", true);
  sip::IncomingCallFacts viaProxy = autoAsked;
  viaProxy.viaProxy = true;
  viaProxy.assertedIdentity = "mallory@pbx";
  EXPECT_EQ(decide(viaProxy, {"carol@192.0.2.3", false, true, false}), D::Refuse);
}

// Door codes: what the far end keys in, digit by digit, as a door station sees it.
using DoorCodesTest = SettingsFixture;

TEST_F(DoorCodesTest, CodesAreReadCheckedAndMatchedPerCaller) {
  store_.writeText("Door", "Code1", "1234");
  store_.writeText("Door", "Action1", "command:/bin/true \"a b\" c\\d");
  store_.writeText("Door", "Code2", "12");
  store_.writeText("Door", "Action2", "gpio:gpiochip0:17:300:active-low");
  store_.writeText("Door", "Contact2", "Alice");
  store_.writeText("Door", "Code3", "12#3");  // the end key inside a code
  store_.writeText("Door", "Action3", "command:/bin/true");
  store_.writeText("Door", "Code4", "77");
  store_.writeText("Door", "Action4", "gpio:gpiochip0:x");  // no line number
  store_.writeText("Door", "Code5", "55");
  store_.writeText("Door", "Action5", "shell:rm -rf /");
  const std::vector<DoorCode> codes = readDoorCodes(store_);
  ASSERT_EQ(codes.size(), 2u);
  EXPECT_EQ(codes[0].index, 1);
  EXPECT_EQ(codes[1].contact, "Alice");
  EXPECT_EQ(splitCommandLine(codes[0].action.substr(8)),
            (std::vector<std::string>{"/bin/true", "a b", "c\\d"}));
  EXPECT_EQ(splitCommandLine(" \"say \\\"hi\\\"\"  x "),
            (std::vector<std::string>{"say \"hi\"", "x"}));

  const DoorCode* accepted = nullptr;
  auto keyIn = [&](DoorControl& door, std::string_view digits, uint32_t at) {
    DoorVerdict last = DoorVerdict::None;
    for (char d : digits) last = door.digit(d, at, &accepted);
    return last;
  };
  // Bob may not use Alice's code: "12" is only the start of code 1 for him.
  DoorControl bob(codes, [](const std::string& c) { return c == "Bob"; });
  EXPECT_EQ(keyIn(bob, "12", 0), DoorVerdict::None);
  EXPECT_EQ(keyIn(bob, "34", 100), DoorVerdict::Accepted);  // taken as soon as it is whole
  EXPECT_EQ(accepted->index, 1);
  EXPECT_EQ(keyIn(bob, "12#", 200), DoorVerdict::Wrong);
  EXPECT_EQ(keyIn(bob, "12*1234", 300), DoorVerdict::Accepted);  // "*" starts again
  EXPECT_EQ(keyIn(bob, "12", 400), DoorVerdict::None);
  // After a long pause "12" is forgotten: "3" and "4" are two wrong codes, the third ends it.
  EXPECT_EQ(keyIn(bob, "34", 400 + DoorControl::kDigitGapMs + 1), DoorVerdict::Wrong);
  EXPECT_EQ(bob.wrongCount(), 2);
  EXPECT_EQ(keyIn(bob, "9", 10000), DoorVerdict::TooManyWrong);

  // Alice has both: "12" is hers once "#" ends it, and a right code clears the wrong ones.
  DoorControl alice(codes, [](const std::string& c) { return c == "Alice"; });
  EXPECT_EQ(keyIn(alice, "5", 0), DoorVerdict::Wrong);
  EXPECT_EQ(keyIn(alice, "12#", 10), DoorVerdict::Accepted);
  EXPECT_EQ(accepted->index, 2);
  EXPECT_EQ(alice.wrongCount(), 0);
  EXPECT_FALSE(DoorControl(codes, [](const std::string&) { return false; }).empty());
}

}  // namespace
}  // namespace quillet::app
