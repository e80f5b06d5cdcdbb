// SPDX-License-Identifier: Apache-2.0
// The notifier of this line's dialogs: who may watch, the NOTIFYs a watcher gets (at once,
// on a change, at its end), and the bounds on watchers and on a source's SUBSCRIBEs.
#include "sip/dialog_notifier.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillet::sip {
namespace {

class Host : public NotifierHost {
 public:
  void ntfLocal(const SipTarget&, std::string& address, uint16_t& port) override {
    address = "192.0.2.1";
    port = 5070;
  }
  std::string ntfNewBranch() override { return "z9hG4bK" + std::to_string(sent.size()); }
  void ntfSend(const SipTarget&, std::string_view text) override { sent.emplace_back(text); }
  std::vector<std::string> sent;
};

SipMessage subscribe(const std::string& user, const std::string& callId, int expires,
                     const std::string& host = "192.0.2.9", const std::string& toTag = {}) {
  std::string text =
      "SUBSCRIBE sip:door@192.0.2.1 SIP/2.0\r\nVia: SIP/2.0/UDP " + host +
      ";branch=z9hG4bKw\r\nTo: <sip:door@192.0.2.1>" + (toTag.empty() ? "" : ";tag=" + toTag) +
      "\r\nFrom: <sip:" + user + "@" + host + ">;tag=w1\r\nCall-ID: " + callId +
      "\r\nCSeq: 1 SUBSCRIBE\r\nEvent: dialog\r\nExpires: " + std::to_string(expires) +
      "\r\nContent-Length: 0\r\n\r\n";
  SipMessage message = *SipMessage::parse(text);
  message.source = *platform::SocketAddress::parse(host, 5060);
  return message;
}

struct Notifier : testing::Test {
  Notifier() {
    notifier.setAllowCheck([](std::string_view from) { return from.find("hall") != from.npos; });
  }
  SubscribeAnswer ask(const SipMessage& request, uint32_t nowMs = 0) {
    SubscribeAnswer got;
    notifier.onSubscribe(request, "t" + std::to_string(++tags), nowMs,
                         [&](const SubscribeAnswer& a) { got = a; });
    return got;
  }
  Host host;
  DialogNotifier notifier{host};
  int tags = 0;
};

TEST_F(Notifier, AWatcherOnTheListHearsOfEveryChangeUntilItsSubscriptionEnds) {
  EXPECT_EQ(ask(subscribe("stranger", "c0", 600)).status, 403);
  EXPECT_TRUE(host.sent.empty());
  const SubscribeAnswer answer = ask(subscribe("hall", "c1", 600));
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.expires, 600);
  ASSERT_EQ(host.sent.size(), 1u);
  const std::string& first = host.sent[0];
  EXPECT_NE(first.find("NOTIFY sip:hall@192.0.2.9 SIP/2.0"), std::string::npos) << first;
  EXPECT_NE(first.find("Subscription-State: active;expires=600"), std::string::npos);
  const auto idle = parseDialogInfo(first.substr(first.find("\r\n\r\n") + 4));
  ASSERT_TRUE(idle);
  EXPECT_EQ(idle->entity, "sip:door@192.0.2.1");
  EXPECT_EQ(lineStateOf(*idle), LineState::Idle);

  notifier.setDialogs({{"line1", "confirmed", "initiator", false}}, 1000);
  notifier.setDialogs({{"line1", "confirmed", "initiator", false}}, 1100);  // no change
  ASSERT_EQ(host.sent.size(), 2u);
  const std::string& busy = host.sent[1];
  const auto info = parseDialogInfo(busy.substr(busy.find("\r\n\r\n") + 4));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->version, idle->version + 1);
  EXPECT_EQ(lineStateOf(*info), LineState::Busy);

  // Unanswered, the NOTIFY goes again; the watcher ends its subscription with Expires 0.
  notifier.drive(2100);
  EXPECT_EQ(host.sent.size(), 3u);
  EXPECT_EQ(ask(subscribe("hall", "c1", 0, "192.0.2.9", answer.toTag), 3000).status, 200);
  EXPECT_NE(host.sent.back().find("Subscription-State: terminated"), std::string::npos);
  EXPECT_EQ(notifier.watcherCount(), 0u);
  EXPECT_EQ(ask(subscribe("hall", "c1", 600, "192.0.2.9", "gone"), 3000).status, 481);
  // One that is not refreshed expires with a last NOTIFY.
  EXPECT_EQ(ask(subscribe("hall", "c2", 60), 4000).status, 200);
  notifier.drive(64000);
  EXPECT_NE(host.sent.back().find("terminated;reason=timeout"), std::string::npos);
  EXPECT_EQ(notifier.watcherCount(), 0u);
}

TEST_F(Notifier, WatchersAndEachSourcesSubscribesAreBounded) {
  EXPECT_EQ(ask(subscribe("hall", "short", 5)).status, 423);
  for (size_t i = 0; i < DialogNotifier::kMaxWatchers; ++i) {
    const std::string host = "192.0.2." + std::to_string(100 + i);
    ASSERT_EQ(ask(subscribe("hall", "w" + std::to_string(i), 600, host)).status, 200);
  }
  EXPECT_EQ(ask(subscribe("hall", "one-too-many", 600, "198.51.100.1")).status, 503);
  int refused = 0;
  for (int i = 0; i < DialogNotifier::kRateLimit + 5; ++i)
    refused +=
        ask(subscribe("stranger", "f" + std::to_string(i), 600, "198.51.100.2"), 100).status == 503;
  EXPECT_EQ(refused, 5);
  // After the window the source is heard again.
  EXPECT_EQ(ask(subscribe("stranger", "later", 600, "198.51.100.2"), 20000).status, 403);
}

}  // namespace
}  // namespace quillet::sip
