// Tests of the received-message checks: ordinary requests of other agents pass, and the
// faults torture_e2e does not send are refused or dropped.
#include "sip/message_check.h"

#include <gtest/gtest.h>

#include <string>

namespace quillet::sip {
namespace {

using Action = MessageVerdict::Action;

// An INVITE with the given first line and headers replaced or removed: each entry of
// `edits` is "Name: value" (replaces that header) or "-Name" (removes it).
std::string invite(std::string firstLine = "INVITE sip:alice@127.0.0.1 SIP/2.0",
                   std::initializer_list<std::string> edits = {}, std::string body = "v=0\r\n") {
  std::vector<std::string> headers = {"Via: SIP/2.0/UDP 127.0.0.1:5999;branch=z9hG4bK1",
                                      "From: \"Bob\" <sip:bob@h>;tag=1",
                                      "To: <sip:alice@127.0.0.1>",
                                      "Call-ID: c1@h",
                                      "CSeq: 1 INVITE",
                                      "Max-Forwards: 70",
                                      "Content-Type: application/sdp",
                                      "Content-Length: @"};
  for (const std::string& edit : edits) {
    const bool remove = edit[0] == '-';
    const std::string name = remove ? edit.substr(1) : edit.substr(0, edit.find(':'));
    bool found = false;
    for (auto it = headers.begin(); it != headers.end();) {
      if (it->compare(0, name.size() + 1, name + ":") == 0) {
        found = true;
        if (remove) {
          it = headers.erase(it);
          continue;
        }
        *it = edit;
      }
      ++it;
    }
    if (!found && !remove) headers.push_back(edit);
  }
  std::string text = firstLine + "\r\n";
  for (std::string h : headers) {
    if (h == "Content-Length: @") h = "Content-Length: " + std::to_string(body.size());
    text += h + "\r\n";
  }
  return text + "\r\n" + body;
}

MessageVerdict verdictOf(const std::string& text) {
  std::optional<SipMessage> m = SipMessage::parse(text);
  EXPECT_TRUE(m.has_value()) << text;
  return m ? checkMessage(*m) : MessageVerdict{};
}

void expectRefused(const std::string& text, int32_t status) {
  const MessageVerdict v = verdictOf(text);
  EXPECT_EQ(v.action, Action::Refuse) << text;
  EXPECT_EQ(v.status, status) << text;
  EXPECT_FALSE(v.why.empty());
}

TEST(MessageCheck, WellFormedRequestsOfOtherAgentsPass) {
  EXPECT_EQ(verdictOf(invite()).action, Action::Accept);
  // Compact names, a sips URI, "Require: replaces", a lower-case version, no Max-Forwards
  // (an older agent), a quoted display name with an escaped quote and a "<" inside it.
  EXPECT_EQ(verdictOf(invite("INVITE sips:alice@h sip/2.0",
                             {"-Max-Forwards", "-From", "f: \"J \\\"x\\\" <y\" <sip:j@h>;tag=2",
                              "Require: replaces, answermode"}))
                .action,
            Action::Accept);
  // A method longer than the method limit, named the same in CSeq.
  const std::string method = "!interesting-Method0123456789_*+`.%indeed'~";
  EXPECT_EQ(verdictOf(invite(method + " sip:alice@h SIP/2.0", {"CSeq: 1 " + method})).action,
            Action::Accept);
  EXPECT_EQ(verdictOf("OPTIONS sip:alice@h SIP/2.0\r\nv: SIP/2.0/UDP h;branch=z9hG4bK2\r\n"
                      "f: <sip:b@h>;tag=1\r\nt: <sip:alice@h>\r\ni: x\r\nCSeq: 8 OPTIONS\r\n\r\n")
                .action,
            Action::Accept);
}

// Most refusals (missing headers, wrong CSeq, bad lengths, odd request lines, 505, 416, 420
// and 415) are torture_e2e's, sent to a running program; these are the cases it leaves out.
TEST(MessageCheck, ValuesTheTortureSetLeavesOutAreRefused400) {
  const std::string line = "INVITE sip:alice@h SIP/2.0";
  expectRefused(invite(line, {"CSeq: INVITE"}), 400);
  expectRefused(invite(line, {"Content-Length: 5x"}), 400);
  expectRefused(invite(line, {"Contact: <sip:b@h"}), 400);
  expectRefused(invite("INVITE sip:alice@h SIP/2.0x"), 400);
  // ...but a value cut at its limit is not taken for an unterminated one, and a
  // Content-Length shorter than what follows is allowed (the rest is ignored).
  EXPECT_EQ(verdictOf(invite(line, {"Contact: <sip:b@h;p=" + std::string(400, 'y') + ">"})).action,
            Action::Accept);
  EXPECT_EQ(verdictOf(invite(line, {"Content-Length: 2"})).action, Action::Accept);
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
