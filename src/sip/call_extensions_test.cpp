// SPDX-License-Identifier: Apache-2.0
// Tests of the call extensions' headers (RSeq, RAck, Session-Expires, Min-SE), the reliable
// provisional response's resends and acknowledgement, and the session timer's choices and
// deadlines.
#include "sip/call_extensions.h"

#include <gtest/gtest.h>

#include "sip/reliable_provisional.h"
#include "sip/session_timer.h"

namespace quillet::sip {
namespace {

SipMessage request(const std::string& headers) {
  const std::string text =
      "INVITE sip:a@h SIP/2.0\r\nVia: SIP/2.0/UDP h;branch=z9hG4bK1\r\n"
      "CSeq: 1 INVITE\r\n" +
      headers + "Content-Length: 0\r\n\r\n";
  std::optional<SipMessage> message = SipMessage::parse(text);
  EXPECT_TRUE(message.has_value());
  return message ? *message : SipMessage{};
}

TEST(CallExtensions, ReadsGoodNumbersAndRefusesBadOnes) {
  EXPECT_EQ(parseRSeq(" 988789 "), 988789u);
  EXPECT_EQ(parseRSeq("2147483647"), 2147483647u);
  for (const char* bad : {"", "0", "-1", "12a", "2147483648", "99999999999", "1 2", "+5"}) {
    EXPECT_FALSE(parseRSeq(bad).has_value()) << bad;
  }
  const std::optional<RAck> rack = parseRAck("776656  1\tINVITE");
  ASSERT_TRUE(rack.has_value());
  EXPECT_EQ(rack->responseNumber, 776656u);
  EXPECT_EQ(rack->cseq, 1u);
  EXPECT_EQ(rack->method, "INVITE");
  for (const char* bad : {"", "1", "1 2", "0 1 INVITE", "1 x INVITE", "1 2 invite",
                          "1 2 INVITE extra", "2147483648 1 INVITE", "1 99999999999 INVITE"}) {
    EXPECT_FALSE(parseRAck(bad).has_value()) << bad;
  }
}

TEST(CallExtensions, ReadsSessionExpiresWithItsRefresher) {
  std::optional<SessionExpires> value = parseSessionExpires("1800;refresher=uac");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->seconds, 1800u);
  EXPECT_EQ(value->refresher, Refresher::Uac);
  value = parseSessionExpires(" 90 ; other=1 ; REFRESHER = UAS");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->refresher, Refresher::Uas);
  EXPECT_EQ(parseSessionExpires("4000")->refresher, Refresher::None);
  EXPECT_EQ(sessionExpiresValue({120, Refresher::Uas}), "120;refresher=uas");
  for (const char* bad :
       {"", "0", ";refresher=uac", "abc", "90;refresher=both", "90;refresher", "99999999999"}) {
    EXPECT_FALSE(parseSessionExpires(bad).has_value()) << bad;
  }
  EXPECT_EQ(parseMinSE("90"), 90u);
  EXPECT_EQ(parseMinSE("120;x=y"), 120u);
  for (const char* bad : {"", "0", "x", "-90"}) EXPECT_FALSE(parseMinSE(bad).has_value()) << bad;
}

TEST(CallExtensions, FindsOptionTagsAndMethods) {
  const SipMessage message = request(
      "Supported: replaces, 100rel\r\nk: timer\r\nRequire: answermode\r\n"
      "Allow: INVITE, UPDATE\r\n");
  EXPECT_TRUE(supportsOption(message, "100rel"));
  EXPECT_TRUE(supportsOption(message, "TIMER"));
  EXPECT_TRUE(supportsOption(message, "answermode"));  // required is supported too
  EXPECT_FALSE(requiresOption(message, "100rel"));
  EXPECT_TRUE(requiresOption(message, "answermode"));
  EXPECT_TRUE(allowsMethod(message, "UPDATE"));
  EXPECT_FALSE(allowsMethod(message, "PRACK"));
}

TEST(ReliableProvisional, ResendsDoublingUntilItsPrack) {
  ReliableProvisional reliable(41);
  EXPECT_FALSE(reliable.pending());
  reliable.begin(1000);
  const uint32_t number = reliable.number();
  EXPECT_GE(number, 1u);
  std::vector<uint32_t> sent;
  for (uint32_t t = 1000; t < 1000 + ReliableProvisional::kGiveUpMs; t += 10) {
    if (reliable.due(t)) sent.push_back(t - 1000);
  }
  EXPECT_EQ(sent, (std::vector<uint32_t>{0, 500, 1500, 3500, 7500, 15500, 31500}));
  EXPECT_TRUE(reliable.gaveUp(1000 + ReliableProvisional::kGiveUpMs));
  // The wrong number, CSeq or method leaves it waiting; the right one ends the wait.
  EXPECT_FALSE(reliable.acknowledge({number + 1, 7, "INVITE"}, 7));
  EXPECT_FALSE(reliable.acknowledge({number, 8, "INVITE"}, 7));
  EXPECT_FALSE(reliable.acknowledge({number, 7, "BYE"}, 7));
  EXPECT_TRUE(reliable.acknowledge({number, 7, "INVITE"}, 7));
  EXPECT_FALSE(reliable.pending());
  EXPECT_FALSE(reliable.due(50000));
  EXPECT_FALSE(reliable.gaveUp(50000));
  reliable.begin(60000);
  EXPECT_EQ(reliable.number(), number + 1);
}

TEST(SessionTimer, RefreshesAtHalfAndExpiresBeforeTheEnd) {
  SessionTimer here;
  here.start(90, true, 0xfffff000u);  // across the tick's wrap
  EXPECT_FALSE(here.refreshDue(0xfffff000u + 44999));
  EXPECT_TRUE(here.refreshDue(0xfffff000u + 45000));
  EXPECT_FALSE(here.expired(0xfffff000u + 89999));
  EXPECT_TRUE(here.expired(0xfffff000u + 90000));
  SessionTimer there;
  there.start(90, false, 0);
  EXPECT_FALSE(there.refreshDue(80000));
  EXPECT_FALSE(there.expired(59999));  // a third of 90 s is left as margin
  EXPECT_TRUE(there.expired(60000));
  there.start(1800, false, 0);
  EXPECT_FALSE(there.expired(1767999));  // at most 32 s of margin
  EXPECT_TRUE(there.expired(1768000));
  there.stop();
  EXPECT_FALSE(there.expired(0x7fffffffu));
}

TEST(SessionTimer, AnswersWithTheIntervalAndRefresher) {
  // Supports timers and names none: our preference; the caller refreshes.
  std::optional<SessionExpires> answer =
      answerSessionTimer(request("Supported: timer\r\n"), 1800, 90);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->seconds, 1800u);
  EXPECT_EQ(answer->refresher, Refresher::Uac);
  const SipMessage asks = request("Supported: timer\r\nSession-Expires: 300;refresher=uas\r\n");
  answer = answerSessionTimer(asks, 1800, 90);
  EXPECT_EQ(answer->seconds, 300u);
  EXPECT_EQ(answer->refresher, Refresher::Uas);
  EXPECT_EQ(sessionTimerLines(asks, *answer),
            "Session-Expires: 300;refresher=uas\r\nRequire: timer\r\n");
  // A proxy asked for it, the caller cannot refresh: this side does, without Require.
  const SipMessage proxied = request("Session-Expires: 600\r\n");
  answer = answerSessionTimer(proxied, 1800, 90);
  EXPECT_EQ(answer->refresher, Refresher::Uas);
  EXPECT_EQ(sessionTimerLines(proxied, *answer), "Session-Expires: 600;refresher=uas\r\n");
  EXPECT_FALSE(answerSessionTimer(request(""), 1800, 90).has_value());
  // Too short: 422 with our minimum; a bad value is no reason for a 422.
  EXPECT_EQ(sessionTooShortLines(request("Session-Expires: 60\r\n"), 90), "Min-SE: 90\r\n");
  EXPECT_EQ(sessionTooShortLines(request("Session-Expires: 90\r\n"), 90), "");
  EXPECT_EQ(sessionTooShortLines(request("Session-Expires: zz\r\n"), 90), "");
}

}  // namespace
}  // namespace quillet::sip
