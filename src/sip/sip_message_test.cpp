// SPDX-License-Identifier: Apache-2.0
// Tests of the SIP message parser and its lookups: first-line rules, folding, the
// field limits, long values, compact names, bodies, multipart, and a corpus of
// real-world messages.
#include "sip/sip_message.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sip/sip_uri.h"

namespace quillet::sip {
namespace {

std::optional<SipMessage> parseText(const std::string& text) {
  return SipMessage::parse(text);
}

// A message of the corpus of real-world messages.
SipMessage corpus(const std::string& name) {
  const char* root = std::getenv("QUILLET_SOURCE_DIR");
  std::ifstream in(std::string(root ? root : ".") + "/fuzz/corpus/sip_parse/" + name,
                   std::ios::binary);
  std::optional<SipMessage> m = SipMessage::parse(
      std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
  EXPECT_TRUE(m.has_value()) << name;
  return m.value_or(SipMessage{});
}

TEST(SipMessageParse, FirstLines) {
  auto m = parseText("INVITE sip:bob@h SIP/2.0\r\nCSeq: 1 INVITE\r\n\r\n");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->method + " " + m->uri, "INVITE sip:bob@h");
  EXPECT_EQ(m->status, kRequestStatus);
  // A version in lower case still makes a response; the status is clamped to 16 bits.
  const std::pair<const char*, int32_t> responses[] = {{"sip/2.0 486 Busy Here", 486},
                                                       {"SIP/2.0 200", 200},
                                                       {"SIP/2.0 99999 Big", 65535},
                                                       {"SIP/2.0 -5 Neg", 0},
                                                       {"SIP/2.0 2x0 Odd", 2}};
  for (const auto& [line, status] : responses) {
    m = parseText(std::string(line) + "\r\n\r\n");
    ASSERT_TRUE(m) << line;
    EXPECT_TRUE(m->isResponse()) << line;
    EXPECT_EQ(m->status, status) << line;
  }
  EXPECT_EQ(parseText("sip/2.0 486 Busy Here\r\n\r\n")->reason, "Busy Here");
  for (const char* bad : {"", "\r\n \r\n\t", "INVITE\r\n", "INVITE sip:bob@h\r\nVia: x\r\n\r\n",
                          "INVITE sip:bob@h HTTP/1.1\r\n\r\n"}) {
    EXPECT_FALSE(parseText(bad)) << bad;
  }
}

// Method, header names and the reason are cut (by characters, never inside one); the
// request URI and header values are kept whole.
TEST(SipMessageParse, ShortFieldsAreCutAndValuesKeptWhole) {
  const std::string uri = "sip:" + std::string(300, 'u') + "@h";
  auto m = parseText(std::string(40, 'M') + " " + uri + " SIP/2.0\r\n" + std::string(40, 'N') +
                     ": " + std::string(400, 'v') + "\r\n\r\n");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->method.size(), kMethodMax);
  EXPECT_EQ(m->uri, uri);
  ASSERT_EQ(m->headers.size(), 1u);
  EXPECT_EQ(m->headers[0].name.size(), kHeaderNameMax);
  EXPECT_EQ(m->headers[0].value, std::string(400, 'v'));
  std::string wide;
  for (int i = 0; i < 300; ++i) wide += "\xC3\xA9";
  m = parseText("SIP/2.0 200 " + wide + "\r\nSubject: " + wide + "\r\n\r\n");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->reason.size(), kReasonMax * 2);
  EXPECT_EQ(m->headers[0].value, wide);
}

// A 10 KB INVITE as it arrives through a chain of proxies: every Via and Record-Route
// value whole, in order, folded lines joined with one space.
TEST(SipMessageParse, LongViaAndRecordRouteValuesStayWhole) {
  std::string text = "INVITE sip:alice@192.0.2.1 SIP/2.0\r\n";
  std::vector<std::string> vias;
  std::vector<std::string> routes;
  for (int i = 0; i < 12; ++i) {
    vias.push_back("SIP/2.0/UDP proxy" + std::to_string(i) + ".example.net;branch=z9hG4bK" +
                   std::string(300, static_cast<char>('a' + i)) + ";received=198.51.100." +
                   std::to_string(i));
    text += "Via: " + vias.back() + "\r\n";
  }
  for (int i = 0; i < 12; ++i) {
    routes.push_back("<sip:rr" + std::to_string(i) +
                     ".example.net;lr;ftag=" + std::string(400, static_cast<char>('A' + i)) + ">");
    text += "Record-Route: " + routes.back() + "\r\n";
  }
  // A folded value: the two lines joined with one space, both halves kept.
  text += "Record-Route: " + std::string(500, 'x') + ",\r\n\t<sip:last.example.net;lr>\r\n";
  routes.push_back(std::string(500, 'x') + ", <sip:last.example.net;lr>");
  text +=
      "To: <sip:alice@example.net>\r\nFrom: <sip:bob@example.net>;tag=1\r\n"
      "Call-ID: " +
      std::string(1000, 'c') + "\r\nCSeq: 1 INVITE\r\n\r\n";
  ASSERT_GT(text.size(), 10000u);
  auto m = parseText(text);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->headerValues(hdr::kVia), vias);
  EXPECT_EQ(m->headerValues(hdr::kRecordRoute), routes);
  EXPECT_EQ(m->header(hdr::kCallId), std::string(1000, 'c'));
}

// At most kMaxHeaders headers are read: beyond, the message is refused whole, so that a
// datagram of tiny headers costs bounded work.
TEST(SipMessageParse, TooManyHeadersFail) {
  std::string text = "OPTIONS sip:a@b SIP/2.0\r\n";
  for (size_t i = 0; i < kMaxHeaders; ++i) text += "a: 1\r\n";
  EXPECT_TRUE(parseText(text + "\r\n"));
  EXPECT_FALSE(parseText(text + "b: 2\r\n\r\n"));
}

TEST(SipMessageParse, FoldedValuesAndHeaderNames) {
  auto m = parseText(
      "OPTIONS sip:a@b SIP/2.0\r\nSubject: one  \r\n   two\r\n\tthree\r\nTo: <sip:a@b>\r\n"
      "Call - ID :  abc \r\ncall-id: second\r\n\r\n");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->header("Subject"), "one two three");
  EXPECT_EQ(m->header(hdr::kTo), "<sip:a@b>");
  EXPECT_EQ(m->headers[2].name, "Call-ID");
  EXPECT_EQ(m->header(hdr::kCallId), "abc ");
  EXPECT_EQ(m->headerValues(hdr::kCallId).size(), 2u);
  EXPECT_EQ(m->header("Missing", "dflt"), "dflt");
  // A value that starts on the next line has no leading blank.
  m = parseText("OPTIONS sip:a@b SIP/2.0\r\nRecord-Route:\r\n <sip:p;lr>\r\n\r\n");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->header(hdr::kRecordRoute), "<sip:p;lr>");
  // A continuation of a long value is joined whole.
  m = parseText("OPTIONS sip:a@b SIP/2.0\r\nX: " + std::string(250, 'a') +
                "\r\n abcdefghijklmnopqrstuvwxyz\r\n\r\n");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->header("X"), std::string(250, 'a') + " abcdefghijklmnopqrstuvwxyz");
}

TEST(SipMessageParse, BodiesNeedTypeAndLengthAndAreClampedToTheDatagram) {
  for (const char* headers : {"Content-Length: 5\r\n", "Content-Type: text/plain\r\n",
                              "Content-Type: text/plain\r\nContent-Length: -3\r\n"}) {
    auto m = parseText(std::string("MESSAGE sip:a@b SIP/2.0\r\n") + headers + "\r\nhello");
    ASSERT_TRUE(m);
    EXPECT_TRUE(m->bodies.empty()) << headers;
  }
  auto m = parseText(
      "MESSAGE sip:a@b SIP/2.0\r\nContent-Type: text/plain; charset=utf-8\r\n"
      "Content-Length: 999999\r\n\r\nshort");
  ASSERT_TRUE(m);
  ASSERT_EQ(m->bodies.size(), 1u);
  EXPECT_EQ(m->bodies[0].type, "text/plain");
  EXPECT_EQ(m->bodies[0].text, "short");
  // Content-Length counts bytes: "é€" is 5 bytes, so 5 takes both characters.
  m = parseText("MESSAGE sip:a@b SIP/2.0\r\nc: text/plain\r\nl: 5\r\n\r\n\xC3\xA9\xE2\x82\xACxyz");
  EXPECT_EQ(m->body("text/plain"), "\xC3\xA9\xE2\x82\xAC");
}

TEST(SipMessageParse, MultipartWithQuotedBoundaryAndPreamble) {
  std::string body =
      "preamble\r\n--b1\r\nContent-Type: application/sdp\r\n\r\nv=0\r\n--b1\r\n"
      "c: text/plain\r\n\r\nhi\r\n--b1\r\n\r\nuntyped\r\n--b1--\r\nepilogue";
  auto m = parseText(
      "INVITE sip:a@b SIP/2.0\r\nContent-Type: multipart/MIXED; boundary=\"b1\"\r\n"
      "Content-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + body);
  ASSERT_TRUE(m);
  ASSERT_EQ(m->bodies.size(), 2u);
  EXPECT_EQ(m->body("application/sdp"), "v=0");
  EXPECT_EQ(m->body("TEXT/PLAIN"), "hi");
  EXPECT_FALSE(m->hasBody("multipart/mixed"));
  // Without a boundary there are no parts.
  m = parseText(
      "INVITE sip:a@b SIP/2.0\r\nContent-Type: multipart/mixed\r\n"
      "Content-Length: 12\r\n\r\n\r\n--\r\nc: a/b\r\n");
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->bodies.empty());
  // A binary part keeps its NUL bytes.
  const SipMessage isup = corpus("invite_multipart.sip");
  ASSERT_EQ(isup.bodies.size(), 2u);
  EXPECT_EQ(isup.bodies[1].type, "application/ISUP");
  EXPECT_EQ(isup.bodies[1].text.size(), 19u);
}

// Real-world messages: spacing, folding, compact and lower-case names, LF-only lines,
// several Record-Routes, UTF-8 bodies, each read the way its sender meant.
TEST(SipMessageCorpus, FirstLinesHeadersAndBodies) {
  struct Case {
    const char* file;
    const char* start;  // the method, or the status and reason
    std::vector<std::pair<HeaderName, const char*>> headers;
  };
  const Case cases[] = {
      {"invite_compact.sip",
       "INVITE",
       {{hdr::kCallId, "compact-1@192.168.1.30"},
        {hdr::kFrom, "\"Carol\" <sip:carol@192.168.1.30>;tag=c1"},
        {hdr::kVia, "SIP/2.0/UDP 192.168.1.30:5060;branch=z9hG4bKcompact1"}}},
      {"options_folded.sip",
       "OPTIONS",
       {{hdr::kVia, "SIP/2.0/UDP 192.168.1.30:5060; branch=z9hG4bKfold1"},
        {"Subject", "first part second part third part"}}},
      {"ringing_odd_spacing.sip", "180 Ringing  ", {{hdr::kCSeq, "300 INVITE"}}},
      {"bye_lf_only.sip", "BYE", {{hdr::kTo, "<sip:alice@192.168.1.20>;tag=5513"}}},
      {"message_utf8.sip", "MESSAGE", {{hdr::kFrom, "\"Zoë\" <sip:zoe@192.168.1.40>;tag=z1"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    SipMessage m = corpus(c.file);
    EXPECT_EQ(m.isRequest() ? m.method : std::to_string(m.status) + " " + m.reason, c.start);
    for (const auto& [name, value] : c.headers) EXPECT_EQ(m.header(name, "-"), value);
  }
  EXPECT_TRUE(corpus("invite_compact.sip").hasBody("application/sdp"));
  EXPECT_EQ(corpus("bye_lf_only.sip").headers.size(), 6u);
  EXPECT_EQ(corpus("message_utf8.sip").body("text/plain"), "Grüße aus Köln – €5");
  EXPECT_EQ(corpus("invite_truncated_body.sip").body("application/sdp"),
            "v=0\r\no=- 1 1 IN IP4 192.168.1.40\r\ns=-\r\n");
  const SipMessage routed = corpus("invite_record_route.sip");
  EXPECT_EQ(routed.headerValues(hdr::kRecordRoute).size(), 2u);
  EXPECT_EQ(routeSetFromResponse(routed.headerValues(hdr::kRecordRoute)),
            "<sip:198.51.100.2;lr;r2=on;ftag=as6e8f>,<sip:10.10.0.1;lr;r2=on;ftag=as6e8f>,"
            "<sip:198.51.100.1;lr;ftag=as6e8f>");
  const SipMessage refer = corpus("refer_compact_replaces.sip");
  const SipUri target = parseUri(parseNameAddr(refer.header(hdr::kReferTo)).uri);
  EXPECT_EQ(unescape(paramValue(target.headers, "Replaces")), "abc@h;to-tag=1;from-tag=2");
}

}  // namespace
}  // namespace quillet::sip
