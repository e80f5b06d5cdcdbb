// SPDX-License-Identifier: Apache-2.0
// The auto-answer dialects of incoming INVITEs and the lines of an intercom INVITE.
#include "sip/auto_answer.h"

#include <gtest/gtest.h>

#include <string>

namespace quillet::sip {
namespace {

AutoAnswerRequest read(const std::string& headers) {
  const std::string text =
      "INVITE sip:bob@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1;branch=z9hG4bK1\r\n"
      "From: <sip:a@127.0.0.1>;tag=1\r\nTo: <sip:bob@127.0.0.1>\r\nCall-ID: 1@h\r\n"
      "CSeq: 1 INVITE\r\n" +
      headers + "Content-Length: 0\r\n\r\n";
  return readAutoAnswer(SipMessage::parse(text).value());
}

TEST(AutoAnswer, ReadsEveryDialect) {
  struct Case {
    const char* headers;
    AnswerMode mode;
    bool required;
    AnswerMode priv;
    int32_t delay;
  };
  const AnswerMode N = AnswerMode::None, A = AnswerMode::Auto, M = AnswerMode::Manual;
  // The plain form of each dialect is dialects_e2e's, through SIPp callers; these are
  // the forms around it.
  const Case cases[] = {
      {"answer-mode: auto ; require\r\n", A, true, N, 0},
      {"Answer-Mode: Manual;require\r\n", M, true, N, 0},
      {"Answer-Mode: Sometimes\r\n", N, false, N, 0},
      {"Priv-Answer-Mode: Auto;require\r\n", N, false, A, 0},
      {"Call-Info: <sip:pbx>;purpose=icon, <sip:pbx>;answer-after=4\r\n", A, false, N, 4},
      {"Call-Info: <sip:pbx;answer-after=9>;purpose=info\r\n", N, false, N, 0},
      {"Call-Info: <sip:pbx>;answer-after=x\r\n", N, false, N, 0},
      {"Alert-Info: <http://x>;info=Intercom;delay=3\r\n", A, false, N, 3},
      {"Alert-Info: <http://x>;info=alert-external\r\n", N, false, N, 0},
      {"Call-Info: <sip:x>;answer-after=99999999999\r\n", A, false, N, kMaxAnswerDelaySeconds},
      // Answer-Mode decides the mode; the others still give the delay.
      {"Answer-Mode: Manual\r\nCall-Info: <sip:x>;answer-after=2\r\n", M, false, N, 2},
  };
  for (const Case& c : cases) {
    const AutoAnswerRequest r = read(c.headers);
    EXPECT_EQ(r.mode, c.mode) << c.headers;
    EXPECT_EQ(r.required, c.required) << c.headers;
    EXPECT_EQ(r.privMode, c.priv) << c.headers;
    EXPECT_EQ(r.delaySeconds, c.delay) << c.headers;
  }
  EXPECT_TRUE(read("Priv-Answer-Mode: Auto;require\r\n").requiresAuto());
  EXPECT_FALSE(read("Answer-Mode: Manual;require\r\n").requiresAuto());
}

// The headers of our own intercom INVITE are checked in dialects_e2e; here the choice's
// odd spellings.
TEST(AutoAnswer, HeaderChoice) {
  std::string unknown;
  const uint32_t all = parseAnswerHeaders(" call-info,Answer-Mode , ALERT-INFO,, X-Page", &unknown);
  EXPECT_EQ(all, kAnswerModeHeader | kCallInfoHeader | kAlertInfoHeader);
  EXPECT_EQ(unknown, "X-Page");
  EXPECT_EQ(parseAnswerHeaders(""), kAnswerModeHeader);
  EXPECT_EQ(parseAnswerHeaders("nonsense"), kAnswerModeHeader);
  // What we send, we read back as a request to answer at once.
  const AutoAnswerRequest back = read(answerHeaderLines(kCallInfoHeader | kAlertInfoHeader, "h"));
  EXPECT_EQ(back.mode, AnswerMode::Auto);
  EXPECT_EQ(back.delaySeconds, 0);
}

}  // namespace
}  // namespace quillet::sip
