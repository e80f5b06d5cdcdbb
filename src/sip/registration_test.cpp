// SPDX-License-Identifier: Apache-2.0
// Registration: REGISTER scheduling, expiry rules, digest answers and the log lines
// (tests/sip/sip_registrar.py registers against Kamailio: the first REGISTER and its
// Contact, the 401 answered, qop nonce counting and a granted short expiry).
#include "sip/registration.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/socket_address.h"
#include "sip/registration_test_util.h"
#include "sip/sip_log.h"

namespace quillet::sip {
namespace {

using testing::FakeHost;

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setSipLogHook([this](SipLogLevel level, const std::string& line) {
      log.push_back((level == SipLogLevel::Error ? "E " : "I ") + line);
    });
  }
  void TearDown() override { setSipLogHook({}); }

  RegistrationConfig config(std::string password = "pw") {
    RegistrationConfig c;
    c.server = "pbx.test";
    c.outboundServer = "pbx.test";
    c.addressOfRecord = "sip:200@pbx.test";
    c.user = "200";
    c.authUser = "200";
    c.password = std::move(password);
    c.q = 90;
    return c;
  }
  // Adds the line and sends its first REGISTER at 0.
  void begin(const RegistrationConfig& c) {
    list.add(c, callId, "77", 0);
    drive(0);
  }
  void begin() { begin(config()); }
  void drive(uint32_t now) {
    list.drive(now, keepAlives, [] { return false; });
  }
  bool respond(const std::string& statusLine, const std::string& headers, uint32_t now) {
    const std::string text = "SIP/2.0 " + statusLine + "\r\nCall-ID: " + callId +
                             "\r\nCSeq: 2 REGISTER\r\n" + headers + "Content-Length: 0\r\n\r\n";
    auto message = SipMessage::parse(text);
    EXPECT_TRUE(message);
    return list.onResponse(*message, now);
  }
  Registration only() {
    auto all = list.snapshot();
    EXPECT_EQ(all.size(), 1u);
    return all.front();
  }

  FakeHost host;
  RegistrationList list{host};
  bool keepAlives = true;
  std::string callId = "reg-1@test";
  std::vector<std::string> log;
};

const char* kChallenge = "WWW-Authenticate: Digest realm=\"pbx\", nonce=\"abc\"\r\n";

// A server found failed while its REGISTER waits (it could not be reached) gets the next
// REGISTER at once (to wherever the host resolves the domain now); only a few times in a
// row, so that servers that all fail at once cannot keep it going: then the resend time
// applies again. A failure of another server, or one after the answer, changes nothing.
TEST_F(RegistrationTest, AServerFailingWhileItsRegisterWaitsGetsTheNextOneAtOnce) {
  begin();
  SipTarget server;
  server.address = host.address;
  SipTarget otherPort = server;
  otherPort.address.setPort(5080);
  SipTarget overTcp = server;
  overTcp.transport = TransportKind::Tcp;
  EXPECT_FALSE(list.targetFailed(otherPort));
  EXPECT_FALSE(list.targetFailed(overTcp));
  drive(100);
  EXPECT_EQ(host.sent.size(), 1u);

  for (int i = 1; i <= RegistrationList::kMaxPromptResends; ++i) {
    ASSERT_TRUE(list.targetFailed(server));
    int32_t wait = 20000;
    list.adjustWait(100, keepAlives, wait);
    EXPECT_EQ(wait, 0);
    drive(100 + static_cast<uint32_t>(i));
    EXPECT_EQ(host.sent.size(), 1u + static_cast<size_t>(i));
  }
  EXPECT_FALSE(list.targetFailed(server));
  drive(200);
  EXPECT_EQ(host.sent.size(), 4u);
  drive(7103);  // the usual resend, after which it may come at once again
  EXPECT_EQ(host.sent.size(), 5u);
  EXPECT_TRUE(list.targetFailed(server));
  drive(7104);
  EXPECT_EQ(host.sent.size(), 6u);

  ASSERT_TRUE(respond("200 OK", "Expires: 3600\r\n", 7200));
  EXPECT_FALSE(list.targetFailed(server));
  drive(7300);
  EXPECT_EQ(host.sent.size(), 6u);
  EXPECT_TRUE(only().registered);
}

TEST_F(RegistrationTest, UnansweredRegisterIsResentEvery7sAndGivenUpAfter40s) {
  list.add(config(), callId, "77", 0);
  for (uint32_t t = 0; t <= 42000; t += 1000) drive(t);
  // 0, 7, 14, 21, 28, 35 s and 42 s (which is also when the limit is reported).
  EXPECT_EQ(host.sent.size(), 7u);
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[1], "E Server pbx.test did not respond to register (user sip:200@pbx.test)");
  EXPECT_EQ(log[2], "E Check server details for that line");
  EXPECT_EQ(only().dueMs, 42000u + RegistrationList::kRetryMs);
}

// A server that does not answer before the resend, or answers 503, is left for the
// domain's next one; a 503 makes the next attempt come at once, but only once.
TEST_F(RegistrationTest, SilenceOrUnavailableSendsTheNextRegisterElsewhere) {
  begin();
  EXPECT_EQ(host.failed, 0);
  drive(7000);  // resent without an answer
  EXPECT_EQ(host.failed, 1);
  ASSERT_TRUE(respond("503 Service Unavailable", "", 7100));
  EXPECT_EQ(host.failed, 2);
  drive(14000);
  EXPECT_EQ(host.sent.size(), 3u);  // at once, after the resend gap
  ASSERT_TRUE(respond("503 Service Unavailable", "", 14100));
  EXPECT_EQ(only().dueMs, 14100u + RegistrationList::kFailureRetryMs);  // then the usual wait
  drive(21000);
  EXPECT_EQ(host.sent.size(), 3u);
}

// Of two challenges the SHA-256 one is answered (sip_registrar proves qop and the nonce
// counting of refreshes against Kamailio).
TEST_F(RegistrationTest, OfTwoChallengesTheSha256OneIsAnswered) {
  begin();
  ASSERT_TRUE(respond("401 Unauthorized",
                      "WWW-Authenticate: Digest realm=\"pbx\", nonce=\"n1\", qop=\"auth\"\r\n"
                      "WWW-Authenticate: Digest realm=\"pbx\", nonce=\"n2\", qop=\"auth\", "
                      "algorithm=SHA-256\r\n",
                      50));
  ASSERT_EQ(host.sent.size(), 2u);
  EXPECT_NE(host.sent[1].find("nonce=\"n2\""), std::string::npos) << host.sent[1];
  EXPECT_NE(host.sent[1].find("algorithm=SHA-256,qop=auth,nc=00000001,cnonce=\""),
            std::string::npos)
      << host.sent[1];
}

// A challenge longer than a line of old (a 600-character nonce, a long opaque) is
// answered with both whole.
TEST_F(RegistrationTest, LongChallengeIsAnsweredWhole) {
  begin();
  const std::string nonce(600, 'n');
  const std::string opaque(300, 'o');
  respond("401 Unauthorized",
          "WWW-Authenticate: Digest realm=\"pbx\", nonce=\"" + nonce + "\", opaque=\"" + opaque +
              "\"\r\n",
          50);
  ASSERT_EQ(host.sent.size(), 2u);
  EXPECT_NE(host.sent[1].find(",nonce=\"" + nonce + "\",uri="), std::string::npos) << host.sent[1];
  EXPECT_NE(host.sent[1].find(",opaque=\"" + opaque + "\","), std::string::npos);
}

// A second challenge (a wrong password) and other failures wait ten minutes, with no
// REGISTER storm (sip_registrar checks the log lines of a wrong password against Kamailio).
TEST_F(RegistrationTest, FailuresWaitTenMinutes) {
  begin();
  respond("401 Unauthorized", kChallenge, 50);
  respond("401 Unauthorized", kChallenge, 90);
  EXPECT_EQ(host.sent.size(), 2u);
  EXPECT_EQ(only().dueMs, 90u + 600000u);
  for (uint32_t t = 1000; t < 600000; t += 10000) drive(t);
  EXPECT_EQ(host.sent.size(), 2u);
  drive(600090);
  EXPECT_EQ(host.sent.size(), 3u);
  log.clear();
  respond("403 Forbidden", "", 600100);
  EXPECT_EQ(log, (std::vector<std::string>{"E Register attempt for proxy sip:200@pbx.test failed",
                                           "E 403 Forbidden"}));
  EXPECT_EQ(only().dueMs, 1200100u);
}

// 423 Interval Too Brief: once more at once with the registrar's Min-Expires, which every
// later REGISTER (the refresh too) keeps; a 423 that asks for no more, or for more than a
// day, is a failure like any other (no loop).
TEST_F(RegistrationTest, IntervalTooBriefRegistersAgainWithMinExpires) {
  begin();
  ASSERT_NE(host.sent.back().find(";expires=3600;"), std::string::npos);
  respond("423 Interval Too Brief", "Min-Expires: 7200\r\n", 50);
  ASSERT_EQ(host.sent.size(), 2u);
  EXPECT_NE(host.sent.back().find(";expires=7200;"), std::string::npos) << host.sent.back();
  respond("200 OK", "Expires: 7200\r\n", 60);
  EXPECT_TRUE(only().registered);
  drive(only().dueMs);
  ASSERT_EQ(host.sent.size(), 3u);
  EXPECT_NE(host.sent.back().find(";expires=7200;"), std::string::npos) << host.sent.back();
  log.clear();
  respond("423 Interval Too Brief", "Min-Expires: 7200\r\n", 7300000);
  respond("423 Interval Too Brief", "Min-Expires: 999999\r\n", 7300010);
  EXPECT_EQ(host.sent.size(), 3u);
  EXPECT_FALSE(only().registered);
  EXPECT_EQ(log.front(), "E Register attempt for proxy sip:200@pbx.test failed");
}

TEST_F(RegistrationTest, StaleChallengeAfterAnAuthorizedAttemptIsAnsweredAgain) {
  begin();
  respond("401 Unauthorized", kChallenge, 50);
  respond("401 Unauthorized",
          "WWW-Authenticate: Digest realm=\"pbx\", nonce=\"fresh\", stale=TRUE\r\n", 90);
  EXPECT_EQ(host.sent.size(), 3u);
  EXPECT_NE(host.sent[2].find("nonce=\"fresh\""), std::string::npos);
}

TEST_F(RegistrationTest, ChallengeWithoutPasswordLogsAndStaysDue) {
  begin(config(""));
  respond("407 Proxy Authentication Required", "", 50);
  EXPECT_EQ(host.sent.size(), 1u);
  EXPECT_EQ(log.back(), "E Enter a password for this proxy server.");
  drive(7000);
  EXPECT_EQ(host.sent.size(), 2u);
}

// Expires 0 means an hour; a NAT keep-alive goes after 49 s without sending.
TEST_F(RegistrationTest, ExpiresZeroRegistersForAnHourWithKeepAlives) {
  begin();
  respond("200 OK", "Expires: 0\r\n", 10);
  EXPECT_EQ(only().dueMs, 10u + 3600000u - 10000u);
  EXPECT_TRUE(only().keepAlive);
  drive(49000);
  EXPECT_TRUE(host.keepAlives.empty());
  drive(49001);
  EXPECT_EQ(host.keepAlives, std::vector<std::string>{"pbx.test"});
}

// Of several Contacts our own one's expiry counts.
TEST_F(RegistrationTest, OwnContactExpiryWinsOverOtherDevices) {
  begin();
  respond("200 OK",
          "Contact: <sip:200@203.0.113.7:5070>;expires=300, "
          "<sip:200@198.51.100.9:5060>;expires=3600\r\n",
          1000);
  EXPECT_EQ(only().dueMs, 1000u + 290000u);
}

TEST_F(RegistrationTest, LineWithoutServerIsReportedRegisteredAndStopsKeepAlives) {
  RegistrationConfig c = config();
  c.server.clear();
  c.addressOfRecord = "sip:200@";
  begin(c);
  EXPECT_TRUE(host.sent.empty());
  EXPECT_TRUE(only().registered);
  EXPECT_FALSE(keepAlives);
  EXPECT_TRUE(log.empty());
}

// The shut-down window ended with an un-REGISTER unanswered: when the transport starts
// again, the first REGISTER's challenge is answered as a REGISTER (expires 3600), not as
// the un-REGISTER of the closed window.
TEST_F(RegistrationTest, ChallengeAfterTheShutDownWindowIsAnsweredAsARegister) {
  begin();
  respond("200 OK", "", 10);
  ASSERT_EQ(list.unregisterAll(), 1);
  EXPECT_NE(host.sent.back().find(";expires=0;"), std::string::npos);
  list.endUnregister(3000);
  EXPECT_FALSE(list.unregisterPending());
  drive(3000);  // due at once after the window
  EXPECT_NE(host.sent.back().find(";expires=3600;"), std::string::npos) << host.sent.back();
  respond("401 Unauthorized", kChallenge, 3010);
  EXPECT_NE(host.sent.back().find("Authorization: "), std::string::npos) << host.sent.back();
  EXPECT_NE(host.sent.back().find(";expires=3600;"), std::string::npos) << host.sent.back();
}

TEST_F(RegistrationTest, WaitEndsWhenTheNextSendIsDueAndAProvisionalHoldsItBack) {
  begin();
  int32_t wait = 20000;
  list.adjustWait(1000, false, wait);
  EXPECT_EQ(wait, 6000);  // unanswered: resent 7 s after the last send
  respond("100 Trying", "", 5000);
  drive(7000);
  EXPECT_EQ(host.sent.size(), 1u);
  drive(12000);
  EXPECT_EQ(host.sent.size(), 2u);
  respond("200 OK", "Expires: 30\r\n", 12000);
  wait = 20000;
  list.adjustWait(12000, true, wait);
  EXPECT_EQ(wait, 20000);  // refresh in 20 s, keep-alive in 50 s
}

// A line added twice is one binding until both are removed; a change of the public
// address makes every binding due.
TEST_F(RegistrationTest, SharedBindingsAndPublicAddressChange) {
  list.add(config(), callId, "77", 0);
  list.add(config(), "other@test", "78", 0);
  RegistrationConfig second = config();
  second.user = "201";
  second.addressOfRecord = "sip:201@pbx.test";
  list.add(second, "reg-2@test", "79", 0);
  drive(0);
  respond("200 OK", "", 10);
  EXPECT_EQ(host.sent.size(), 2u);
  list.makeAllDue(8000);
  drive(8000);
  EXPECT_EQ(host.sent.size(), 4u);
  list.remove(config());
  EXPECT_EQ(list.snapshot().size(), 2u);
  list.remove(config());
  EXPECT_EQ(list.snapshot().size(), 1u);
  EXPECT_NE(host.sent.back().find(";expires=0;"), std::string::npos);
}

// The registrar's Via reports where the REGISTER came from: a different public address
// or port is learnt and registered once more, with that address in Via and Contact; a
// registrar that keeps reporting new addresses gets one more REGISTER per refresh at most;
// a private address (a registrar on this side of the NAT) is never learnt.
TEST_F(RegistrationTest, AddressReportedInTheViaIsLearntAndRegisteredOnce) {
  const std::string via = "Via: SIP/2.0/UDP 203.0.113.7:5070;branch=z9hG4bK1;rport=";
  begin();
  respond("200 OK", via + "5070;received=203.0.113.7\r\n", 10);  // as sent: nothing learnt
  EXPECT_EQ(host.sent.size(), 1u);
  EXPECT_TRUE(host.learnt.empty());

  // Learnt from the challenge: the answer to it already carries the learnt address.
  respond("401 Unauthorized", via + "40001;received=198.51.100.20\r\n" + kChallenge, 20);
  EXPECT_EQ(host.learnt, std::vector<std::string>{"198.51.100.20:40001"});
  ASSERT_EQ(host.sent.size(), 2u);
  EXPECT_NE(host.sent[1].find("Via: SIP/2.0/UDP 198.51.100.20:40001;rport;"), std::string::npos)
      << host.sent[1];
  EXPECT_NE(host.sent[1].find("Contact: <sip:200@198.51.100.20:40001>"), std::string::npos);
  respond("200 OK", via + "40001;received=198.51.100.20\r\n", 30);
  EXPECT_EQ(host.sent.size(), 2u);

  // The mapping changes port: learnt and registered again, once.
  respond("200 OK", via + "40002;received=198.51.100.20\r\n", 40);
  EXPECT_EQ(host.learnt.back(), "198.51.100.20:40002");
  ASSERT_EQ(host.sent.size(), 3u);
  EXPECT_NE(host.sent[2].find("Contact: <sip:200@198.51.100.20:40002>"), std::string::npos);
  EXPECT_TRUE(only().registered);
  // Another address again: kept as the public one, but no further REGISTER until the
  // refresh, which then carries it.
  respond("200 OK", via + "40003;received=198.51.100.20\r\nExpires: 60\r\n", 50);
  EXPECT_EQ(host.learnt.back(), "198.51.100.20:40003");
  EXPECT_EQ(host.sent.size(), 3u);
  drive(50 + 50000);
  ASSERT_EQ(host.sent.size(), 4u);
  EXPECT_NE(host.sent[3].find("Contact: <sip:200@198.51.100.20:40003>"), std::string::npos);

  // rport alone (no received) reports the sent-by host with another port; a private
  // received address is not learnt.
  respond("200 OK", "Via: SIP/2.0/UDP 198.51.100.20:40003;rport=40009;branch=z9hG4bK4\r\n", 60);
  EXPECT_EQ(host.learnt.back(), "198.51.100.20:40009");
  const size_t learnt = host.learnt.size();
  const size_t sent = host.sent.size();
  respond("200 OK", via + "5070;received=192.168.1.20\r\n", 70);
  EXPECT_EQ(host.learnt.size(), learnt);
  EXPECT_EQ(host.sent.size(), sent);
}

// Over a connection the Via reports the connection's port, not a NAT mapping.
TEST_F(RegistrationTest, AddressReportedOverAConnectionIsNotLearnt) {
  host.transport = TransportKind::Tcp;
  begin();
  respond("200 OK",
          "Via: SIP/2.0/TCP 203.0.113.7:5070;rport=51234;received=198.51.100.20;branch=z\r\n", 10);
  EXPECT_TRUE(host.learnt.empty());
  EXPECT_EQ(host.sent.size(), 1u);
}

TEST_F(RegistrationTest, UnresolvableServerSendsNothing) {
  RegistrationConfig c = config();
  c.outboundServer = "unresolvable";
  begin(c);
  EXPECT_TRUE(host.sent.empty());
}

TEST(RegistrationQ, PriorityFractionBecomesQ) {
  EXPECT_EQ(qFromPriority(0.05), 5);
  EXPECT_EQ(qFromPriority(1.5), 99);
  EXPECT_EQ(qFromPriority(-1), 0);
}

}  // namespace
}  // namespace quillet::sip
