// SPDX-License-Identifier: Apache-2.0
// Tests of the received-message checks: ordinary requests of other agents pass, and the
// faults torture_e2e does not send are refused or dropped.
#include "sip/message_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace quillet::sip {
namespace {

using Action = MessageVerdict::Action;

// An INVITE with the given first line; each of `edits` ("Name: value") replaces the
// header of that name or is added.
std::string invite(std::string firstLine = "INVITE sip:alice@127.0.0.1 SIP/2.0",
                   std::initializer_list<std::string> edits = {}) {
  const std::string body = "v=0\r\n";
  std::vector<std::string> headers = {"Via: SIP/2.0/UDP 127.0.0.1:5999;branch=z9hG4bK1",
                                      "From: \"Bob\" <sip:bob@h>;tag=1",
                                      "To: <sip:alice@127.0.0.1>",
                                      "Call-ID: c1@h",
                                      "CSeq: 1 INVITE",
                                      "Content-Type: application/sdp",
                                      "Content-Length: " + std::to_string(body.size())};
  for (const std::string& edit : edits) {
    const std::string name = edit.substr(0, edit.find(':') + 1);
    auto it = std::find_if(headers.begin(), headers.end(),
                           [&](const std::string& h) { return h.rfind(name, 0) == 0; });
    if (it == headers.end()) {
      headers.push_back(edit);
    } else {
      *it = edit;
    }
  }
  std::string text = firstLine + "\r\n";
  for (const std::string& h : headers) text += h + "\r\n";
  return text + "\r\n" + body;
}

MessageVerdict verdictOf(const std::string& text) {
  std::optional<SipMessage> m = SipMessage::parse(text);
  EXPECT_TRUE(m.has_value()) << text;
  return m ? checkMessage(*m) : MessageVerdict{};
}

// Most refusals (missing headers, wrong CSeq, bad lengths, odd request lines, 505, 416, 420
// and 415) are torture_e2e's, sent to a running program; these are the cases it leaves out.
TEST(MessageCheck, RequestsTheTortureSetLeavesOut) {
  const std::string line = "INVITE sip:alice@h SIP/2.0";
  const struct {
    std::string text;
    int32_t status;  // 0: accepted
  } cases[] = {
      {invite(), 0},
      // A sips URI, a lower-case version, a display name with an escaped quote and a "<",
      // "Require: replaces".
      {invite("INVITE sips:alice@h sip/2.0",
              {"From: \"J \\\"x\\\" <y\" <sip:j@h>;tag=2", "Require: replaces, answermode"}),
       0},
      // A long value is read whole (its bracket closes), and a Content-Length shorter
      // than what follows is allowed (the rest is ignored).
      {invite(line, {"Contact: <sip:b@h;p=" + std::string(400, 'y') + ">"}), 0},
      {invite(line, {"Content-Length: 2"}), 0},
      {invite(line, {"CSeq: INVITE"}), 400},
      {invite(line, {"Content-Length: 5x"}), 400},
      {invite(line, {"Contact: <sip:b@h"}), 400},
      {invite("INVITE sip:alice@h SIP/2.0x"), 400},
  };
  for (const auto& c : cases) {
    const MessageVerdict v = verdictOf(c.text);
    EXPECT_EQ(v.action, c.status == 0 ? Action::Accept : Action::Refuse) << c.text;
    if (c.status == 0) continue;
    EXPECT_EQ(v.status, c.status) << c.text;
    EXPECT_FALSE(v.why.empty());
  }
}

TEST(MessageCheck, RefusalsOfOptionsAndBodyTypesNameWhatIsSupported) {
  const MessageVerdict option =
      verdictOf(invite("INVITE sip:alice@h SIP/2.0", {"Require: nothingyoudoknow"}));
  EXPECT_EQ(option.status, 420);
  EXPECT_EQ(option.extraHeaders, "Unsupported: nothingyoudoknow\r\n");
  const MessageVerdict body =
      verdictOf(invite("INVITE sip:alice@h SIP/2.0", {"Content-Type: application/unknownformat"}));
  EXPECT_EQ(body.status, 415);
  EXPECT_EQ(body.extraHeaders, "Accept: application/sdp\r\n");
}

TEST(MessageCheck, MalformedResponsesAreDropped) {
  const std::string tail =
      "\r\nVia: SIP/2.0/UDP h;branch=z9hG4bK1\r\nFrom: <sip:a@h>;tag=1\r\nTo: <sip:b@h>;tag=2\r\n"
      "Call-ID: c\r\nCSeq: 1 INVITE\r\nContent-Length: 0\r\n\r\n";
  EXPECT_EQ(verdictOf("SIP/2.0 200 OK" + tail).action, Action::Accept);
  EXPECT_EQ(verdictOf("SIP/7.0 200 OK" + tail).action, Action::Drop);
  EXPECT_EQ(verdictOf("SIP/2.0 200 OK\r\nCall-ID: c\r\n\r\n").action, Action::Drop);
}

}  // namespace
}  // namespace quillet::sip
