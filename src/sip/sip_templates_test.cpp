// SPDX-License-Identifier: Apache-2.0
// Tests of the request and response templates: exact texts, the per-method lines,
// byte-counted Content-Length, and that every built message parses back (the REGISTER's
// lines are checked against Kamailio in tests/sip/sip_registrar).
#include "sip/sip_templates.h"

#include <gtest/gtest.h>

#include "sip/sip_uri.h"

namespace quillet::sip {
namespace {

SipRequest makeRequest(const char* method, uint32_t cseq) {
  SipRequest r;
  r.method = method;
  r.cseq = cseq;
  r.branch = "z9hG4bK71234";
  r.requestUri = "sip:bob@192.168.1.40:5060";
  return r;
}

RequestContext makeContext() {
  RequestContext c;
  c.localAddress = "192.168.1.20";
  c.localPort = 5070;
  c.to = "<sip:bob@192.168.1.40>";
  c.from = "\"Alice\" <sip:alice@pbx.example>;tag=4711";
  c.callId = "1733480000-1234-host@203.0.113.7";
  c.contactUser = "alice";
  return c;
}

SipMessage reparse(const std::string& text) {
  std::optional<SipMessage> m = SipMessage::parse(text);
  EXPECT_TRUE(m.has_value()) << text;
  return m.value_or(SipMessage{});
}

TEST(SipTemplates, InviteFullText) {
  setUserAgent("Quillet/1.2.3");
  SipRequest r = makeRequest("INVITE", 101);
  RequestContext c = makeContext();
  c.route = "<sip:out.example;lr>";
  std::string text = buildInvite(r, c, {}, kAnswerModeHeader, "v=0\r\n");
  EXPECT_EQ(text,
            "INVITE sip:bob@192.168.1.40:5060 SIP/2.0\r\n"
            "Via: SIP/2.0/UDP 192.168.1.20:5070;rport;branch=z9hG4bK71234\r\n"
            "To: <sip:bob@192.168.1.40>\r\n"
            "From: \"Alice\" <sip:alice@pbx.example>;tag=4711\r\n"
            "Call-ID: 1733480000-1234-host@203.0.113.7\r\n"
            "CSeq: 101 INVITE\r\n"
            "Max-Forwards: 70\r\n"
            "User-Agent: Quillet/1.2.3\r\n"
            "Route: <sip:out.example;lr>\r\n"
            "Contact: <sip:alice@192.168.1.20:5070>\r\n"
            "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, INFO, REFER, NOTIFY, PRACK, UPDATE\r\n"
            "Supported: replaces, answermode, 100rel, timer\r\n"
            "Answer-Mode: Auto\r\n"
            "Content-Type: application/sdp\r\n"
            "Content-Length: 5\r\n\r\n"
            "v=0\r\n");
}

// The lines that differ per request (what a call through SIPp and the proxy does not show:
// the proxy's 407 answered with Proxy-Authorization is sip_registrar's call_through_proxy).
// The user's own User-Agent text stays one header line; an empty one is the default.
TEST(SipTemplates, UserAgentIsOneLine) {
  setUserAgent("Desk 4\r\nVia: SIP/2.0/UDP evil");
  EXPECT_EQ(userAgent(), "Desk 4Via: SIP/2.0/UDP evil");
  setUserAgent("");
  EXPECT_EQ(userAgent().rfind("Quillet/", 0), 0u);
}

TEST(SipTemplates, PerMethodLines) {
  RequestContext c = makeContext();
  SipMessage m;
  for (const std::string& text :
       {buildAck(makeRequest("ACK", 101), c), buildBye(makeRequest("BYE", 8), c),
        buildCancel(makeRequest("CANCEL", 101), c), buildInfo(makeRequest("INFO", 9), c)}) {
    m = reparse(text);
    EXPECT_EQ(m.header(hdr::kContact, "-"), "-") << m.method;
    EXPECT_EQ(m.header(hdr::kContentLength), "0") << m.method;
  }
  m = reparse(buildNotify(makeRequest("NOTIFY", 7), c, 100, "Trying"));
  EXPECT_EQ(m.header("Subscription-State"), "active;expires=60");
  EXPECT_EQ(m.body("message/sipfrag"), "SIP/2.0 100 Trying\r\n");
  m = reparse(buildNotify(makeRequest("NOTIFY", 8), c, 200, "OK"));
  EXPECT_EQ(m.header("Subscription-State"), "terminated;reason=noresource");
  EXPECT_NE(m.header(hdr::kContact), "");
  EXPECT_EQ(m.body("message/sipfrag"), "SIP/2.0 200 OK\r\n");
}

TEST(SipTemplates, ContentLengthCountsUtf8Bytes) {
  // Six characters, ten bytes: a peer reading six bytes would cut the body.
  std::string body = "Gr\xC3\xBC\xC3\x9F\xE2\x82\xAC!";
  std::string text =
      buildRequest(makeRequest("MESSAGE", 3), makeContext(), false, {}, "text/plain", body);
  SipMessage m = reparse(text);
  EXPECT_EQ(m.header(hdr::kContentLength), "10");
  EXPECT_EQ(m.body("text/plain"), body);
}

const char* kIncomingInvite =
    "INVITE sip:alice@192.168.1.20:5070 SIP/2.0\r\n"
    "Record-Route: <sip:p1;lr>\r\n"
    "Via: SIP/2.0/UDP 198.51.100.1;branch=z9hG4bKa\r\n"
    "Record-Route: <sip:p2;lr>, <sip:p3;lr>\r\n"
    "v: SIP/2.0/UDP 192.0.2.33:5060;branch=z9hG4bKb\r\n"
    "f: \"Bob\" <sip:bob@h>;tag=as1\r\n"
    "t: <sip:alice@h>\r\n"
    "i: call-1@h\r\n"
    "CSeq: 20 INVITE\r\n"
    "Content-Length: 0\r\n\r\n";

TEST(SipTemplates, ResponseCopiesViasRoutesAndAddsTag) {
  setUserAgent("Quillet/1.2.3");
  SipMessage invite = reparse(kIncomingInvite);
  ResponseSpec form;
  form.status = 180;
  form.reason = reasonPhrase(180);
  form.toTag = "9001";
  EXPECT_EQ(buildResponse(invite, form),
            "SIP/2.0 180 Ringing\r\n"
            "Via: SIP/2.0/UDP 198.51.100.1;branch=z9hG4bKa\r\n"
            "Via: SIP/2.0/UDP 192.0.2.33:5060;branch=z9hG4bKb\r\n"
            "Record-Route: <sip:p1;lr>\r\n"
            "Record-Route: <sip:p2;lr>, <sip:p3;lr>\r\n"
            "To: <sip:alice@h>;tag=9001\r\n"
            "From: \"Bob\" <sip:bob@h>;tag=as1\r\n"
            "Call-ID: call-1@h\r\n"
            "CSeq: 20 INVITE\r\n"
            "User-Agent: Quillet/1.2.3\r\n"
            "Content-Length: 0\r\n\r\n");
}

// (The Allow line of responses is checked by the SIPp callers.)
TEST(SipTemplates, ResponseKeepsAnExistingTagAndAddsHeadersAndBody) {
  SipMessage bye = reparse(
      "BYE sip:a@h SIP/2.0\r\nVia: SIP/2.0/UDP h;branch=z9hG4bKc\r\nTo: <sip:a@h>;TAG=5\r\n"
      "From: <sip:b@h>;tag=6\r\nCall-ID: x\r\nCSeq: 3 BYE\r\n\r\n");
  ResponseSpec form;
  form.toTag = "9001";
  form.extraHeaders = "X-Extra: 1\r\n";
  form.contentType = "application/sdp";
  form.body = "v=0\r\n";
  SipMessage m = reparse(buildResponse(bye, form));
  EXPECT_EQ(m.status, 200);
  EXPECT_EQ(m.headerValues(hdr::kTo).front(), "<sip:a@h>;TAG=5");
  EXPECT_EQ(m.header("X-Extra"), "1");
  EXPECT_EQ(m.body("application/sdp"), "v=0\r\n");
  EXPECT_TRUE(cseqMatches(bye, 3, "BYE"));
  EXPECT_FALSE(cseqMatches(bye, 3, "INVITE"));
  EXPECT_FALSE(cseqMatches(bye, 2, "BYE"));
}

}  // namespace
}  // namespace quillet::sip
