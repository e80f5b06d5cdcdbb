// Tests of the SIP message parser and its lookups: first-line rules, folding, the
// value limits, compact names, bodies, multipart, and a corpus of real-world messages.
#include "sip/sip_message.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

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

TEST(SipMessageParse, RequestAndResponseLines) {
  auto m = parseText("INVITE sip:bob@h SIP/2.0\r\nCSeq: 1 INVITE\r\n\r\n");
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->isRequest());
  EXPECT_EQ(m->method, "INVITE");
  EXPECT_EQ(m->uri, "sip:bob@h");
  EXPECT_EQ(m->status, kRequestStatus);
  EXPECT_EQ(m->header(hdr::kCSeq), "1 INVITE");
  // A version in lower case still makes a response.
  m = parseText("sip/2.0 486 Busy Here\r\n\r\n");
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->isResponse());
  EXPECT_EQ(m->status, 486);
  EXPECT_EQ(m->reason, "Busy Here");
  EXPECT_EQ(m->uri, "486");
}

TEST(SipMessageParse, FailsWithoutTokensOrVersion) {
  EXPECT_FALSE(parseText(""));
  EXPECT_FALSE(parseText("\r\n \r\n\t"));
  EXPECT_FALSE(parseText("INVITE\r\n"));
  EXPECT_FALSE(parseText("INVITE sip:bob@h\r\nVia: x\r\n\r\n"));  // no version token
  EXPECT_FALSE(parseText("INVITE sip:bob@h HTTP/1.1\r\n\r\n"));
  EXPECT_TRUE(parseText("SIP/2.0 200\r\n"));  // a response needs no reason
}

TEST(SipMessageParse, FieldsAreCutToTheirLimits) {
  std::string method(40, 'M');
  std::string uri(200, 'u');
  std::string value(400, 'v');
  auto m = parseText(method + " " + uri + " SIP/2.0\r\n" + std::string(40, 'N') + ": " + value +
                     "\r\n\r\n");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->method.size(), kMethodMax);
  EXPECT_EQ(m->uri.size(), kRequestUriMax);
  ASSERT_EQ(m->headers.size(), 1u);
  EXPECT_EQ(m->headers[0].name.size(), kHeaderNameMax);
  EXPECT_EQ(m->headers[0].value.size(), kHeaderValueMax);
  // Characters, not bytes: 300 two-byte characters are cut to 259 of them.
  std::string wide;
  for (int i = 0; i < 300; ++i) wide += "\xC3\xA9";
  m = parseText("SIP/2.0 200 " + wide + "\r\nSubject: " + wide + "\r\n\r\n");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->reason.size(), kReasonMax * 2);
  EXPECT_EQ(m->headers[0].value.size(), kHeaderValueMax * 2);
}

TEST(SipMessageParse, StatusIsClampedToSixteenBits) {
  EXPECT_EQ(parseText("SIP/2.0 99999 Big\r\n\r\n")->status, 65535);
  EXPECT_EQ(parseText("SIP/2.0 -5 Neg\r\n\r\n")->status, 0);
  EXPECT_EQ(parseText("SIP/2.0 2x0 Odd\r\n\r\n")->status, 2);
}

TEST(SipMessageParse, FoldedValueJoinsWithSingleSpaces) {
  auto m = parseText(
      "OPTIONS sip:a@b SIP/2.0\r\nSubject: one  \r\n   two\r\n\tthree\r\nTo: <sip:a@b>\r\n\r\n");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->header("Subject"), "one two three");
  EXPECT_EQ(m->header(hdr::kTo), "<sip:a@b>");
}

TEST(SipMessageParse, LongFoldKeepsTheStartOfTheContinuation) {
  // 250 characters leave fewer than 16 of room: the continuation is written from
  // position 244, so its first characters survive the cut to 259.
  std::string first(250, 'a');
  auto m = parseText("OPTIONS sip:a@b SIP/2.0\r\nX: " + first +
                     "\r\n abcdefghijklmnopqrstuvwxyz\r\n\r\n");
  ASSERT_TRUE(m);
  std::string expected = std::string(244, 'a') + " abcdefghijklmn";
  EXPECT_EQ(m->header("X"), expected);
  // With room enough the join is plain.
  std::string shorter(200, 'b');
  m = parseText("OPTIONS sip:a@b SIP/2.0\r\nX: " + shorter + "\r\n tail\r\n\r\n");
  EXPECT_EQ(m->header("X"), shorter + " tail");
}

TEST(SipMessageParse, HeaderNamesLoseBlanksAndLookupIgnoresCase) {
  auto m = parseText("SIP/2.0 200 OK\r\nCall - ID :  abc \r\ncall-id: second\r\n\r\n");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->headers[0].name, "Call-ID");
  EXPECT_EQ(m->header(hdr::kCallId), "abc ");
  EXPECT_EQ(m->header("Missing", "dflt"), "dflt");
  EXPECT_EQ(m->header(hdr::kExpires, "0"), "0");
  EXPECT_EQ(m->headerValues(hdr::kCallId).size(), 2u);
}

TEST(SipMessageParse, BodyNeedsTypeAndLength) {
  for (const char* headers : {"Content-Length: 5\r\n", "Content-Type: text/plain\r\n",
                              "Content-Type: text/plain\r\nContent-Length: -3\r\n"}) {
    auto m = parseText(std::string("MESSAGE sip:a@b SIP/2.0\r\n") + headers + "\r\nhello");
    ASSERT_TRUE(m);
    EXPECT_TRUE(m->bodies.empty()) << headers;
  }
}

TEST(SipMessageParse, BodyIsClampedToTheDatagramAndCountsBytes) {
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
}

// The first line and headers of real-world messages: spacing, folding, compact and
// lower-case names, LF-only lines, each read the way its sender meant.
TEST(SipMessageCorpus, FirstLinesAndHeaders) {
  struct Case {
    const char* file;
    const char* start;  // the method, or the status and reason
    std::vector<std::pair<HeaderName, const char*>> headers;
  };
  const Case cases[] = {
      {"register_401_kamailio.sip",
       "401 Unauthorized",
       {{hdr::kWwwAuthenticate,
         "Digest realm=\"sip.example.com\", nonce=\"Z1NwXGdTb1gX7lRv1Yz9ZcR2mTz1CkVl\", "
         "qop=\"auth\""}}},
      {"invite_407_stale_opaque.sip",
       "407 Proxy Authentication Required",
       {{hdr::kProxyAuthenticate,
         "Digest algorithm=MD5, realm=\"asterisk\", nonce=\"4b9a1f2e\", "
         "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\", stale=TRUE"}}},
      {"invite_compact.sip",
       "INVITE",
       {{hdr::kCallId, "compact-1@192.168.1.30"},
        {hdr::kFrom, "\"Carol\" <sip:carol@192.168.1.30>;tag=c1"},
        {hdr::kContact, "<sip:carol@192.168.1.30:5060>"},
        {hdr::kVia, "SIP/2.0/UDP 192.168.1.30:5060;branch=z9hG4bKcompact1"}}},
      {"options_folded.sip",
       "OPTIONS",
       {{hdr::kVia, "SIP/2.0/UDP 192.168.1.30:5060; branch=z9hG4bKfold1"},
        {hdr::kFrom, "\"Folded Name\" <sip:dave@192.168.1.30>;tag=f1"},
        {"Subject", "first part second part third part"}}},
      {"ringing_odd_spacing.sip",
       "180 Ringing  ",
       {{hdr::kVia, "SIP/2.0/UDP 192.168.1.20:5070;branch=z9hG4bK99"},
        {hdr::kFrom, "<sip:alice@192.168.1.20>;tag=5512"},
        {hdr::kCallId, "spacing-1@192.168.1.20"},
        {hdr::kCSeq, "300 INVITE"}}},
      {"ok_lowercase.sip", "200 ok", {{hdr::kCSeq, "301 invite"}}},
      {"bye_lf_only.sip", "BYE", {{hdr::kTo, "<sip:alice@192.168.1.20>;tag=5513"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    SipMessage m = corpus(c.file);
    EXPECT_EQ(m.isRequest() ? m.method : std::to_string(m.status) + " " + m.reason, c.start);
    for (const auto& [name, value] : c.headers) EXPECT_EQ(m.header(name, "-"), value);
  }
  EXPECT_TRUE(corpus("invite_compact.sip").hasBody("application/sdp"));
  EXPECT_TRUE(corpus("ok_lowercase.sip").hasBody("application/sdp"));
  EXPECT_EQ(corpus("bye_lf_only.sip").headers.size(), 6u);
}

TEST(SipMessageCorpus, RegisterOkWithSeveralContacts) {
  SipMessage m = corpus("register_200_contacts.sip");
  EXPECT_EQ(m.status, 200);
  std::vector<std::string> contacts = m.headerElements(hdr::kContact);
  ASSERT_EQ(contacts.size(), 3u);
  NameAddr first = parseNameAddr(contacts[0]);
  EXPECT_EQ(first.uri, "sip:alice@203.0.113.7:5070");
  EXPECT_EQ(paramValue(first.params, "expires"), "300");
  NameAddr third = parseNameAddr(contacts[2]);
  EXPECT_EQ(third.displayName, "Desk Phone");
  EXPECT_EQ(paramValue(third.params, "expires"), "1800");
  EXPECT_EQ(parseUri(third.uri).port, 5062);
  EXPECT_EQ(m.header(hdr::kExpires, "0"), "3600");
}

TEST(SipMessageCorpus, InviteWithRecordRouteList) {
  SipMessage m = corpus("invite_record_route.sip");
  EXPECT_EQ(m.method, "INVITE");
  EXPECT_EQ(m.uri, "sip:alice@203.0.113.7:5070");
  EXPECT_EQ(m.headerValues(hdr::kRecordRoute).size(), 2u);
  EXPECT_EQ(m.headerElements(hdr::kRecordRoute).size(), 3u);
  EXPECT_EQ(routeSetFromResponse(m.headerValues(hdr::kRecordRoute)),
            "<sip:198.51.100.2;lr;r2=on;ftag=as6e8f>,<sip:10.10.0.1;lr;r2=on;ftag=as6e8f>,"
            "<sip:198.51.100.1;lr;ftag=as6e8f>");
  EXPECT_EQ(m.headerValues(hdr::kVia).size(), 2u);
  EXPECT_EQ(m.header(hdr::kVia).substr(0, 30), "SIP/2.0/UDP 198.51.100.1;branc");
  EXPECT_EQ(m.header("Answer-Mode"), "Auto");
  EXPECT_TRUE(m.hasBody("application/sdp"));
}

TEST(SipMessageCorpus, MultipartInvite) {
  SipMessage m = corpus("invite_multipart.sip");
  ASSERT_EQ(m.bodies.size(), 2u);
  EXPECT_EQ(m.bodies[0].type, "application/sdp");
  EXPECT_EQ(m.bodies[1].type, "application/ISUP");
  std::string sdp = m.body("application/sdp");
  EXPECT_EQ(sdp.substr(0, 5), "v=0\r\n");
  EXPECT_EQ(sdp.substr(sdp.size() - 12), "a=sendrecv\r\n");
  EXPECT_EQ(m.bodies[1].text.size(), 19u);  // binary ISUP, NUL bytes included
}

TEST(SipMessageCorpus, SipfragRedirectReferAndUtf8) {
  SipMessage notify = corpus("notify_sipfrag.sip");
  EXPECT_EQ(notify.body("message/sipfrag"), "SIP/2.0 180 Ringing\r\n");
  SipMessage redirect = corpus("redirect_302.sip");
  EXPECT_EQ(redirect.status, 302);
  EXPECT_EQ(redirect.headerElements(hdr::kContact).size(), 3u);
  SipMessage refer = corpus("refer_compact_replaces.sip");
  SipUri target = parseUri(parseNameAddr(refer.header(hdr::kReferTo)).uri);
  EXPECT_EQ(unescape(paramValue(target.headers, "Replaces")).text, "abc@h;to-tag=1;from-tag=2");
  SipMessage text = corpus("message_utf8.sip");
  EXPECT_EQ(text.body("text/plain"), "Grüße aus Köln – €5");
  EXPECT_EQ(text.header(hdr::kFrom).substr(0, 6), "\"Zoë\"");
  SipMessage truncated = corpus("invite_truncated_body.sip");
  EXPECT_EQ(truncated.body("application/sdp"), "v=0\r\no=- 1 1 IN IP4 192.168.1.40\r\ns=-\r\n");
}

}  // namespace
}  // namespace quillet::sip
