// SPDX-License-Identifier: Apache-2.0
// Voicemail subscriptions: the summary reader on good and bad bodies, and a subscription's
// life: SUBSCRIBE, digest, refresh, NOTIFYs that change the state or repeat it, the
// notifier's end, and a server without voicemail.
#include "sip/mailbox_subscription.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sip/registration_test_util.h"
#include "sip/sip_log.h"

namespace quillet::sip {
namespace {

using testing::FakeHost;

TEST(MessageSummaryTest, ReadsTheStateAndVoiceCountsAndRefusesWhatIsNotASummary) {
  EXPECT_EQ(parseMessageSummary("Messages-Waiting: yes\r\nMessage-Account: sip:201@pbx\r\n"
                                "Voice-Message: 2/8 (0/2)\r\n"),
            (MessageSummary{true, 2, 8}));
  EXPECT_EQ(parseMessageSummary("messages-waiting:NO\nvoice-message: 0/3\n"),
            (MessageSummary{false, 0, 3}));
  // Counts that cannot be read are unknown; the state still counts.
  EXPECT_EQ(parseMessageSummary("Messages-Waiting: yes\r\nVoice-Message: 12345678/1\r\n"),
            (MessageSummary{true, -1, -1}));
  EXPECT_EQ(parseMessageSummary("Messages-Waiting: yes\r\nFax-Message: 1/0\r\n"),
            (MessageSummary{true, -1, -1}));
  EXPECT_FALSE(parseMessageSummary(""));
  EXPECT_FALSE(parseMessageSummary("Voice-Message: 1/0\r\n"));
  EXPECT_FALSE(parseMessageSummary("Messages-Waiting: maybe\r\n"));
  EXPECT_FALSE(parseMessageSummary(std::string(5000, ':')));
}

TEST(MailboxUriTest, TakesAUriAUserAtAHostOrAUserAtTheLinesServer) {
  EXPECT_EQ(mailboxUri("", "pbx.example", "sip:201@pbx.example"), "sip:201@pbx.example");
  EXPECT_EQ(mailboxUri("*97", "pbx.example", "sip:201@pbx.example"), "sip:*97@pbx.example");
  EXPECT_EQ(mailboxUri("vm@other", "pbx.example", "sip:201@pbx.example"), "sip:vm@other");
  EXPECT_EQ(mailboxUri("SIPS:vm@other", "pbx.example", "sip:201@pbx.example"), "SIPS:vm@other");
}

class MailboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setSipLogHook([this](SipLogLevel level, const std::string& line) {
      log.push_back((level == SipLogLevel::Error ? "E " : "I ") + line);
    });
    list.setSummaryHandler([this](const std::string& box, const MessageSummary& summary) {
      heard.push_back(box + (summary.waiting ? " yes " : " no ") +
                      std::to_string(summary.newVoice));
    });
    MailboxConfig config;
    config.line.server = "pbx.example";
    config.line.outboundServer = "pbx.example";
    config.line.addressOfRecord = "sip:201@pbx.example";
    config.line.user = "201";
    config.line.authUser = "201";
    config.line.password = "pw";
    config.mailbox = "sip:201@pbx.example";
    list.add(config, "mwi-call", "ourtag", now);
  }
  void TearDown() override { setSipLogHook({}); }

  SipMessage lastSent() {
    EXPECT_FALSE(host.sent.empty());
    std::optional<SipMessage> m = SipMessage::parse(host.sent.back());
    EXPECT_TRUE(m.has_value());
    return m ? *m : SipMessage{};
  }
  void answer(const std::string& status, const std::string& extra) {
    const SipMessage request = lastSent();
    const std::string text =
        "SIP/2.0 " + status + "\r\nVia: " + request.header("Via") +
        "\r\nTo: <sip:201@pbx.example>;tag=box\r\nFrom: " + request.header("From") +
        "\r\nCall-ID: mwi-call\r\nCSeq: " + request.header("CSeq") + "\r\n" + extra +
        "Content-Length: 0\r\n\r\n";
    std::optional<SipMessage> response = SipMessage::parse(text);
    ASSERT_TRUE(response.has_value());
    EXPECT_TRUE(list.onResponse(*response, now));
  }
  int32_t notify(const std::string& toTag, const std::string& state, const std::string& body) {
    const std::string text =
        "NOTIFY sip:201@203.0.113.7:5070 SIP/2.0\r\nVia: SIP/2.0/UDP 192.0.2.10;branch=z9hG4bKn\r\n"
        "To: <sip:201@pbx.example>;tag=" +
        toTag +
        "\r\nFrom: <sip:201@pbx.example>;tag=box\r\nCall-ID: mwi-call\r\nCSeq: 7 NOTIFY\r\n"
        "Event: message-summary\r\nSubscription-State: " +
        state + "\r\nContent-Type: application/simple-message-summary\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    std::optional<SipMessage> m = SipMessage::parse(text);
    EXPECT_TRUE(m.has_value());
    return m ? list.onNotify(*m, now) : -1;
  }

  uint32_t now = 1000;
  FakeHost host;
  MailboxList list{host};
  std::vector<std::string> log;
  std::vector<std::string> heard;
};

TEST_F(MailboxTest, SubscribesWithDigestRefreshesAndReportsEachNewState) {
  list.drive(now);
  ASSERT_EQ(host.sent.size(), 1u);
  SipMessage subscribe = lastSent();
  EXPECT_EQ(subscribe.method, "SUBSCRIBE");
  EXPECT_EQ(subscribe.uri, "sip:201@pbx.example");
  EXPECT_EQ(subscribe.header("Event"), "message-summary");
  EXPECT_EQ(subscribe.header("Accept"), "application/simple-message-summary");
  EXPECT_EQ(subscribe.header("Expires"), "3600");
  EXPECT_EQ(subscribe.header("To"), "<sip:201@pbx.example>");
  // Unanswered over UDP: sent again, with a new branch.
  list.drive(now += MailboxList::kResendMs);
  ASSERT_EQ(host.sent.size(), 2u);
  answer("401 Unauthorized", "WWW-Authenticate: Digest realm=\"pbx\", nonce=\"n1\"\r\n");
  ASSERT_EQ(host.sent.size(), 3u);
  EXPECT_NE(lastSent().header("Authorization").find("uri=\"sip:201@pbx.example\""),
            std::string::npos);
  answer("200 OK", "Expires: 600\r\n");
  // A NOTIFY before any change, then one with messages, the same again, then none.
  EXPECT_EQ(notify("ourtag", "active;expires=600", "Messages-Waiting: no\r\n"), 200);
  EXPECT_EQ(notify("ourtag", "active;expires=600",
                   "Messages-Waiting: yes\r\nVoice-Message: 2/8 (0/2)\r\n"),
            200);
  EXPECT_EQ(notify("ourtag", "active;expires=590",
                   "Messages-Waiting: yes\r\nVoice-Message: 2/8 (0/2)\r\n"),
            200);
  EXPECT_EQ(notify("ourtag", "active", "Messages-Waiting: no\r\n"), 200);
  EXPECT_EQ(heard,
            (std::vector<std::string>{"sip:201@pbx.example no -1", "sip:201@pbx.example yes 2",
                                      "sip:201@pbx.example no -1"}));
  EXPECT_NE(std::find(log.begin(), log.end(), "I Voicemail: 2 new messages (8 old)"), log.end());
  // Another dialog's NOTIFY is not ours; a summary that cannot be read changes nothing.
  EXPECT_EQ(notify("othertag", "active", "Messages-Waiting: yes\r\n"), 0);
  EXPECT_EQ(notify("ourtag", "active", "Messages-Waiting: perhaps\r\n"), 200);
  EXPECT_EQ(heard.size(), 3u);
  // Refreshed a minute before the 600 s run out, inside the dialog.
  list.drive(now += 530000);
  EXPECT_EQ(host.sent.size(), 3u);
  list.drive(now += 10000);
  ASSERT_EQ(host.sent.size(), 4u);
  EXPECT_EQ(lastSent().header("To"), "<sip:201@pbx.example>;tag=box");
  answer("200 OK", "Expires: 600\r\n");
  // The notifier ends it: subscribed again, as a new dialog, a few seconds later.
  EXPECT_EQ(notify("ourtag", "terminated;reason=timeout", ""), 200);
  list.drive(now += 6000);
  ASSERT_EQ(host.sent.size(), 5u);
  EXPECT_EQ(lastSent().header("To"), "<sip:201@pbx.example>");
}

TEST_F(MailboxTest, AServerWithoutVoicemailIsLoggedOnceAndAskedAgainOnlyAnHourLater) {
  list.drive(now);
  answer("489 Bad Event", "");
  list.drive(now += 60000);
  EXPECT_EQ(host.sent.size(), 1u);
  list.drive(now += MailboxList::kRefusedRetryMs);
  ASSERT_EQ(host.sent.size(), 2u);
  answer("489 Bad Event", "");
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& line) {
                            return line.find("Voicemail: the subscription") != std::string::npos;
                          }),
            1);
  // Shut down: nothing to end, as no server holds a subscription.
  list.unsubscribeAll();
  EXPECT_EQ(host.sent.size(), 2u);
}

}  // namespace
}  // namespace quillet::sip

namespace quillet::sip {
namespace {

// A contact's line watched without a server: the SUBSCRIBE asks for dialog-info and names
// this side's address; each NOTIFY that changes the lamp is told once, a body that cannot
// be read changes nothing, and a refusal makes the lamp unknown.
TEST(LampWatchTest, TheLampFollowsTheNotifiesAndIsUnknownAfterARefusal) {
  testing::FakeHost host;
  MailboxList list{host};
  std::vector<std::string> lamps;
  list.setLampHandler([&](const std::string& uri, std::optional<LineState> state) {
    lamps.push_back(uri + " " + (state ? std::string(lineStateName(*state)) : "unknown"));
  });
  MailboxConfig config;
  config.line.addressOfRecord = "sip:hall@";
  config.line.outboundServer = "192.0.2.20:5070";
  config.line.user = "hall";
  config.mailbox = "sip:door@192.0.2.20:5070";
  config.event = "dialog";
  list.add(config, "lamp-call", "ourtag", 1000);
  list.drive(1000);
  ASSERT_EQ(host.sent.size(), 1u);
  const SipMessage subscribe = *SipMessage::parse(host.sent[0]);
  EXPECT_EQ(subscribe.header("Event"), "dialog");
  EXPECT_EQ(subscribe.header("Accept"), "application/dialog-info+xml");
  EXPECT_NE(subscribe.header("From").find("<sip:hall@"), std::string::npos);
  EXPECT_EQ(subscribe.header("From").find("@>"), std::string::npos) << subscribe.header("From");

  auto notify = [&](const std::string& body) {
    const std::string text =
        "NOTIFY sip:hall@192.0.2.1 SIP/2.0\r\nVia: SIP/2.0/UDP 192.0.2.20;branch=z9hG4bKn\r\n"
        "To: <sip:hall@192.0.2.1>;tag=ourtag\r\nFrom: <sip:door@192.0.2.20>;tag=door\r\n"
        "Call-ID: lamp-call\r\nCSeq: 2 NOTIFY\r\nEvent: dialog\r\n"
        "Subscription-State: active;expires=600\r\nContent-Type: application/dialog-info+xml\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    return list.onNotify(*SipMessage::parse(text), 1500);
  };
  DialogInfo info{0, true, "sip:door@192.0.2.20", {}};
  EXPECT_EQ(notify(writeDialogInfo(info)), 200);
  info.dialogs.push_back({"line1", "confirmed", "initiator", false});
  EXPECT_EQ(notify(writeDialogInfo(info)), 200);
  EXPECT_EQ(notify(writeDialogInfo(info)), 200);  // the same state again
  EXPECT_EQ(notify("<dialog-info version='3'><dialog>"), 200);
  const std::string uri = config.mailbox;
  EXPECT_EQ(lamps, (std::vector<std::string>{uri + " free", uri + " busy"}));

  const std::string refused = "SIP/2.0 403 Forbidden\r\nVia: " + subscribe.header("Via") +
                              "\r\nTo: <" + uri +
                              ">;tag=door\r\nFrom: " + subscribe.header("From") +
                              "\r\nCall-ID: lamp-call\r\nCSeq: " + subscribe.header("CSeq") +
                              "\r\nContent-Length: 0\r\n\r\n";
  EXPECT_TRUE(list.onResponse(*SipMessage::parse(refused), 1600));
  EXPECT_EQ(lamps.back(), uri + " unknown");
  // Tried again after 5 s, then after 10 s.
  list.drive(6599);
  EXPECT_EQ(host.sent.size(), 1u);
  list.drive(6600);
  ASSERT_EQ(host.sent.size(), 2u);
  const SipMessage again = *SipMessage::parse(host.sent[1]);
  const std::string refusedAgain = "SIP/2.0 403 Forbidden\r\nVia: " + again.header("Via") +
                                   "\r\nTo: <" + uri + ">\r\nFrom: " + again.header("From") +
                                   "\r\nCall-ID: lamp-call\r\nCSeq: " + again.header("CSeq") +
                                   "\r\nContent-Length: 0\r\n\r\n";
  EXPECT_TRUE(list.onResponse(*SipMessage::parse(refusedAgain), 6700));
  list.drive(16699);
  EXPECT_EQ(host.sent.size(), 2u);
  list.drive(16700);
  EXPECT_EQ(host.sent.size(), 3u);
}

}  // namespace
}  // namespace quillet::sip
