// SPDX-License-Identifier: Apache-2.0
// Tests of URI and name-addr reading, escaping, dial strings and the route rules (the
// plainest URI, name-addr and dial strings are checked through quillet-tool in tests/siptext).
#include "sip/sip_uri.h"

#include <gtest/gtest.h>

namespace quillet::sip {
namespace {

TEST(SipUri, SchemeHostPortAndParameters) {
  SipUri uri = parseUri("sips:bob:pw@example.com;lr;maddr=10.0.0.1");
  EXPECT_EQ(uri.scheme, "sips");
  EXPECT_EQ(uri.password, "pw");
  EXPECT_FALSE(uri.hasPort);
  EXPECT_EQ(uri.port, 5060);
  EXPECT_TRUE(hasParam(uri.params, "lr"));
  EXPECT_EQ(paramValue(uri.params, "maddr"), "10.0.0.1");
  EXPECT_EQ(paramValue(uri.params, "MADDR", "none"), "none");  // lookup is case-exact
  EXPECT_EQ(printUri(uri), "sips:bob:pw@example.com");
  // Fewer than five characters before the colon read as a scheme, more as a host.
  uri = parseUri("abcd:5070");
  EXPECT_EQ(uri.scheme + " " + uri.host, "abcd 5070");
  uri = parseUri("abcde:5070");
  EXPECT_EQ(uri.scheme + " " + uri.host + " " + std::to_string(uri.port), "sip abcde 5070");
  // Parts are read whole, ports are clamped; only a text kept for showing is cut, by
  // characters, never inside one.
  uri = parseUri(std::string(400, 'u') + "@h:99999;p=" + std::string(400, 'p'));
  EXPECT_EQ(uri.user, std::string(400, 'u'));
  EXPECT_EQ(paramValue(uri.params, "p"), std::string(400, 'p'));
  EXPECT_EQ(uri.port, 65535);
  std::string wide;
  for (int i = 0; i < 300; ++i) wide += "\xC3\xA9";
  EXPECT_EQ(shownText(wide).size(), kShownTextMax * 2);
  EXPECT_EQ(shownText("abc"), "abc");
}

// An IPv6 reference keeps its brackets as the host; its port is the one after the "]".
TEST(SipUri, Ipv6References) {
  SipUri uri = parseUri("sip:bob@[2001:db8::7]:5070;transport=tcp");
  EXPECT_EQ(uri.host, "[2001:db8::7]");
  EXPECT_TRUE(uri.hasPort);
  EXPECT_EQ(uri.port, 5070);
  EXPECT_EQ(printUri(uri), "sip:bob@[2001:db8::7]:5070");
  uri = parseUri("sip:[::1]");
  EXPECT_EQ(uri.host, "[::1]");
  EXPECT_FALSE(uri.hasPort);
  uri = serverUri("[::1]:5080");
  EXPECT_EQ(uri.scheme + " " + uri.host + " " + std::to_string(uri.port), "sip [::1] 5080");
  EXPECT_EQ(splitHostPort("[2001:db8::7]:5080").host, "[2001:db8::7]");
  EXPECT_EQ(splitHostPort("[2001:db8::7]:5080").port, 5080);
  EXPECT_EQ(splitHostPort("2001:db8::7", 5061).host, "2001:db8::7");
  EXPECT_EQ(splitHostPort("2001:db8::7", 5061).port, 5061);
  EXPECT_EQ(splitHostPort("pbx.example.net:5080").port, 5080);
}

TEST(SipUri, ReplacesHeaderStaysEscapedUntilUnescaped) {
  SipUri uri = parseUri("sip:bob@H?Replaces=123%40h%3Bto-tag%3D7%3Bfrom-tag%3D8");
  EXPECT_EQ(uri.host, "H");
  EXPECT_TRUE(uri.params.empty());
  ASSERT_EQ(uri.headers.size(), 1u);
  EXPECT_EQ(uri.headers[0].name, "Replaces");
  EXPECT_EQ(unescape(uri.headers[0].value), "123@h;to-tag=7;from-tag=8");
  uri = parseUri("sip:bob@H;transport=udp?Replaces=a%3Bb&X=1");
  EXPECT_EQ(paramValue(uri.params, "transport"), "udp");
  ASSERT_EQ(uri.headers.size(), 2u);
  EXPECT_EQ(uri.headers[1].value, "1");
}

TEST(NameAddr, DisplayNamesUrisParametersAndStripping) {
  NameAddr na = parseNameAddr("Alice Smith <sip:alice@h;transport=udp>;expires=60;q=0.5");
  EXPECT_EQ(na.displayName, "Alice Smith");
  EXPECT_EQ(na.uri, "sip:alice@h;transport=udp");
  EXPECT_EQ(paramValue(na.params, "q"), "0.5");
  na = parseNameAddr(" sip:bob@H ;tag=1");
  EXPECT_EQ(na.uri, "sip:bob@H");
  EXPECT_EQ(paramValue(na.params, "tag"), "1");
  na = parseNameAddr("\"Semi;colon\" <sip:x@y>");
  EXPECT_EQ(na.displayName, "Semi;colon");
  EXPECT_EQ(na.uri, "sip:x@y");
  EXPECT_EQ(parseNameAddr("bob@H").uri, "sip:bob@H");
  EXPECT_EQ(parseNameAddr("<sip:open@y").uri, "sip:open@y");  // unterminated: to the end
  EXPECT_EQ(stripParameters("\"A;b\" <sip:a@b;lr>;tag=5"), "\"A;b\" <sip:a@b;lr>");
  EXPECT_EQ(stripParameters("sip:a@b;tag=1"), "sip:a@b");
  EXPECT_EQ(stripParameters("<sip:a@b"), "<sip:a@b");
  auto list = splitList("\"Smith, J\" <sip:a@b;x=1,2>;q=0.3 , <sip:c@d>,,");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0], "\"Smith, J\" <sip:a@b;x=1,2>;q=0.3");
  EXPECT_EQ(list[1], "<sip:c@d>");
}

TEST(UriEscape, EscapeAndUnescape) {
  EXPECT_EQ(uriEscape("Windows Mobi"), "Windows%20Mobi");
  EXPECT_EQ(uriEscape("a;b=c@d"), "a%3Bb%3Dc%40d");
  EXPECT_EQ(uriEscape("plain-text_1.2~"), "plain-text_1.2~");
  const std::pair<const char*, const char*> texts[] = {
      {"a+b%41%6a", "a+bAj"},  // "+" is no blank in a SIP URI
      {"a%00b", "ab"},         // an escaped 0 is dropped
      {"ab%", "ab"},           // a "%" at the end stops
      {"%zz", "%zz"},
      {"%FF%41",
       "\xEF\xBF\xBD"
       "A"},  // invalid UTF-8 replaced
  };
  for (const auto& [escaped, text] : texts) EXPECT_EQ(unescape(escaped), text) << escaped;
  const std::string original = "123-4@host;to-tag=9;from-tag=\xE2\x82\xAC";
  EXPECT_EQ(unescape(uriEscape(original)), original);
}

TEST(Replaces, NamesTheDialogByCallIdAndBothTags) {
  // A Refer-To's escaped Replaces, as a transferor writes it: "+" in the Call-ID stays.
  const SipUri uri = parseUri("sip:bob@h?Replaces=a+b%40host%3Bto-tag%3D7%3Bfrom-tag%3D8");
  const ReplacesTarget target = parseReplaces(unescape(uri.headers[0].value));
  EXPECT_EQ(target.callId, "a+b@host");
  EXPECT_EQ(target.toTag, "7");
  EXPECT_EQ(target.fromTag, "8");
  const ReplacesTarget spaced = parseReplaces(" 42@h ; from-tag=x ;To-Tag=y;early-only");
  EXPECT_EQ(spaced.callId, "42@h");
  EXPECT_EQ(spaced.toTag, "y");
  EXPECT_EQ(spaced.fromTag, "x");
  EXPECT_TRUE(parseReplaces("lonely").toTag.empty());
}

TEST(Dial, DialStringsBecomeNameAddrs) {
  EXPECT_FALSE(isDialable(""));
  EXPECT_FALSE(isDialable("a>"));
  EXPECT_TRUE(isDialable("<sip:a@b>"));
  EXPECT_EQ(dialToNameAddr(" 0 30 12 34 ", "S"), "<sip:0301234@S>");
  EXPECT_EQ(dialToNameAddr("123@H:5070", "S"), "<sip:123@H:5070>");
  EXPECT_EQ(dialToNameAddr("\"Bob\" <sip:b@h>", "S"), "\"Bob\" <sip:b@h>");
}

TEST(RouteSet, NoRouteLooseAndStrictRouting) {
  std::vector<std::string> rr = {"<sip:p1;lr>, <sip:p2;lr>", "<sip:p3;lr>"};
  EXPECT_EQ(routeSetFromRequest(rr), "<sip:p1;lr>, <sip:p2;lr>,<sip:p3;lr>");
  EXPECT_EQ(routeSetFromResponse(rr), "<sip:p3;lr>,<sip:p2;lr>,<sip:p1;lr>");
  const struct {
    std::string routeSet;
    bool preset;
    const char* requestUri;
    const char* routeHeader;
    const char* destination;
    uint16_t port;
  } cases[] = {
      // Without a route set the request goes straight to the target.
      {"", false, "sip:bob@10.0.0.2:5070", "", "sip:bob@10.0.0.2:5070", 5070},
      {"<sip:p1.example;lr>,<sip:p2.example;lr>", false, "sip:bob@h",
       "<sip:p1.example;lr>,<sip:p2.example;lr>", "sip:p1.example;lr", 5060},
      // A lone preset route to the outbound server sends no Route header...
      {presetRoute("out:5080"), true, "sip:bob@h", "", "sip:out:5080;lr", 5080},
      // ...but the same single element learnt from the dialog does.
      {presetRoute("out"), false, "sip:bob@h", "<sip:out;lr>", "sip:out;lr", 5060},
      // A strict router gets the request; the remote target goes last.
      {"<sip:strict1.example>, <sip:p2;lr>", false, "sip:strict1.example",
       "<sip:p2;lr>,<sip:bob@h>", "sip:strict1.example", 5060},
      {"<sip:strict1.example:5070>", false, "sip:strict1.example:5070", "<sip:bob@h>",
       "sip:strict1.example:5070", 5070},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.routeSet);
    const std::string target = c.routeSet.empty() ? "sip:bob@10.0.0.2:5070" : "sip:bob@h";
    const RouteDecision d = applyRouteSet(c.routeSet, c.preset, target);
    EXPECT_EQ(d.requestUri, c.requestUri);
    EXPECT_EQ(d.routeHeader, c.routeHeader);
    EXPECT_EQ(d.destinationUri, c.destination);
    EXPECT_EQ(nextHop(d.destinationUri).port, c.port);
  }
  EXPECT_EQ(nextHop("sip:p1.example;lr").host, "p1.example");
  EXPECT_EQ(splitHostPort("stun.example", 3478).port, 3478);
  EXPECT_EQ(splitHostPort("h:junk").port, 5060);
}

}  // namespace
}  // namespace quillet::sip
