// SPDX-License-Identifier: Apache-2.0
// SipTransport and SipEngine on loopback: port binding, the out-of-dialog answers, the
// event pump and the engine's requests (also to a domain's next server, when the first
// answers 503 or cannot be reached), with hand-written peers on UDP sockets.
#include "sip/sip_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/dns_resolver.h"
#include "platform/tick.h"
#include "sip/far_end_test_util.h"
#include "sip/sip_log.h"

namespace quillet::sip {
namespace {

using namespace std::chrono_literals;

using namespace testutil;

using EngineTest = EngineFixture;

// The records of example.test: two servers by SRV on 127.0.0.1, `first` preferred.
std::unique_ptr<ServerLocator> twoServers(uint16_t first, uint16_t second) {
  ServerLocator::Options options;
  options.lookup = [=](const std::vector<net::DnsQuestion>& questions, platform::Event*, int32_t) {
    std::vector<net::DnsAnswer> out;
    for (const net::DnsQuestion& q : questions) {
      net::DnsAnswer answer;
      answer.ttl = 60;
      if (q.type == net::DnsType::Srv && q.name == "_sip._udp.example.test") {
        answer.srv = {{1, 10, first, "one.example.test"}, {2, 10, second, "two.example.test"}};
      } else if (q.type == net::DnsType::A && q.name.ends_with(".example.test")) {
        answer.addresses = {"127.0.0.1"};
      } else {
        answer.error = "no records";
      }
      out.push_back(answer);
    }
    return out;
  };
  return std::make_unique<ServerLocator>(options);
}

// The SIP log lines, as the transport and engine threads write them.
class LogLines {
 public:
  LogLines() {
    setSipLogHook([this](SipLogLevel, const std::string& line) {
      std::lock_guard guard(lock_);
      lines_.push_back(line);
    });
  }
  ~LogLines() { setSipLogHook({}); }
  bool has(const std::string& line) {
    std::lock_guard guard(lock_);
    return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
  }
  std::string all() {
    std::lock_guard guard(lock_);
    return ::testing::PrintToString(lines_);
  }

 private:
  std::mutex lock_;
  std::vector<std::string> lines_;
};

std::string unreachableLine(uint16_t port) {
  return "SIP: 127.0.0.1:" + std::to_string(port) +
         " (UDP) is unreachable: port unreachable (Connection refused)";
}

TEST_F(EngineTest, BindsTheNextPortWhenTheConfiguredOneIsTaken) {
  // A taken port with a free one after it.
  platform::UniqueFd squatter;
  for (int attempt = 0; attempt < 20; ++attempt) {
    ASSERT_TRUE(platform::bindUdp(squatter, 0));
    port_ = platform::localEndpoint(squatter.get()).port;
    platform::UniqueFd next;
    if (port_ < 65535 && platform::bindUdp(next, static_cast<uint16_t>(port_ + 1))) break;
  }
  start();
  EXPECT_EQ(enginePort_, port_ + 1);
}

// A NOTIFY of no subscription, and a datagram that is no SIP dropped. The other requests
// outside a call are the SIPp scenarios' (outside_dialog, refused_invites: BYE, OPTIONS,
// unknown users and calls) and torture_e2e's (unknown methods 501).
TEST_F(EngineTest, AnswersRequestsOutsideAnyCall) {
  start();
  far_.send(enginePort_, "this is not SIP at all\r\n\r\n");
  far_.send(enginePort_, request("NOTIFY", enginePort_, far_.port(), "alice", "not-1"));
  EXPECT_EQ(far_.receive().rfind("SIP/2.0 481 ", 0), 0u);
  EXPECT_GE(transport_.datagramsDropped(), 1u);
}

TEST_F(EngineTest, RefusedDialsAndAFailedCallEndWithoutConnected) {
  start();
  struct Counts : EngineEvents {
    void Connected() override { ++connected; }
    void Ended() override { ++ended; }
    int connected = 0;
    int ended = 0;
  };
  auto events = std::make_unique<Counts>();
  const Counts& seen = *events;
  engine_->setEngineEvents(std::move(events));
  EXPECT_EQ(engine_->Dial(""), 0);
  EXPECT_EQ(engine_->Dial("bob>"), 0);
  EXPECT_EQ(engine_->Dial("123"), 0);  // no server on this line and none in the address
  ASSERT_EQ(engine_->Dial("bob@127.0.0.1:" + std::to_string(far_.port())), 1);
  const std::string invite = awaitMessage("INVITE ");
  ASSERT_FALSE(invite.empty());
  // Busy: the engine acknowledges the 486 and the call ends.
  far_.send(enginePort_, responseTo(invite, "486 Busy Here", "b1"));
  EXPECT_FALSE(awaitMessage("ACK ").empty());
  EXPECT_TRUE(pumpUntil([&] { return seen.ended == 1; }));
  EXPECT_EQ(seen.connected, 0);
}

TEST_F(EngineTest, UnregisterAtShutdownGivesUpAfterTwoSeconds) {
  LineIdentity line = lineOf("alice");
  line.server = "127.0.0.1:" + std::to_string(far_.port());
  line.outboundServer = line.server;
  line.authUser = "alice";
  line.password = "pw";
  start(line, makeSignallingOnlyMedia("127.0.0.1"));
  const std::string registerRequest = awaitMessage("REGISTER ");
  ASSERT_FALSE(registerRequest.empty());
  far_.send(enginePort_, responseTo(registerRequest, "200 OK", "r1",
                                    "Contact: " + headerOf(registerRequest, "Contact") + "\r\n"));
  ASSERT_TRUE(pumpUntil([&] {
    return !transport_.registrations().snapshot().empty() &&
           transport_.registrations().snapshot()[0].registered;
  }));
  // The registrar goes silent: the un-REGISTER is sent and waited for at most 2 s.
  const auto begin = std::chrono::steady_clock::now();
  transport_.shutdown();
  const auto took = std::chrono::steady_clock::now() - begin;
  const std::string unregister = awaitMessage("REGISTER ", 500ms);
  EXPECT_NE(unregister.find(";expires=0;"), std::string::npos) << unregister;
  EXPECT_GE(took, 1900ms);
  EXPECT_LT(took, 4000ms);
}

TEST_F(EngineTest, RebindsWhenThePrivateAddressChanges) {
  std::mutex lock;
  std::string address = "127.0.0.1";
  transport_.setPrivateAddressSource([&] {
    std::lock_guard guard(lock);
    return address;
  });
  std::vector<std::string> lines;
  std::mutex linesLock;
  setSipLogHook([&](SipLogLevel, const std::string& line) {
    std::lock_guard guard(linesLock);
    lines.push_back(line);
  });
  start();
  {
    std::lock_guard guard(lock);
    address = "127.0.0.2";
  }
  // Any datagram makes the transport run a pass and notice.
  far_.send(enginePort_, "wake up\r\n\r\n");
  const std::string expected = "SIP Private IP is: 127.0.0.2:" + std::to_string(enginePort_);
  EXPECT_TRUE(pumpUntil([&] {
    std::lock_guard guard(linesLock);
    return std::find(lines.begin(), lines.end(), expected) != lines.end();
  }));
  EXPECT_EQ(transport_.privateAddress(), "127.0.0.2");
  transport_.shutdown();
  setSipLogHook({});
}

// An engine destroyed while INVITEs keep arriving: the transport thread must not start a
// call on it once its call thread has been stopped: that call's thread would run on the
// engine being destroyed (the process aborts with a pure virtual call or a use after free).
TEST_F(EngineTest, EngineDestroyedWhileInvitesKeepArrivingStartsNoCallOnItself) {
  start();
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    FarEnd caller;
    for (int i = 0; flooding; ++i) {
      caller.send(enginePort_, request("INVITE", enginePort_, caller.port(), "alice",
                                       "flood-" + std::to_string(i), "", kOffer));
      std::this_thread::sleep_for(200us);
      while (!caller.receive(0).empty()) {
      }
    }
  });
  int busyRounds = 0;
  for (int round = 0; round < 40; ++round) {
    engine_ = std::make_unique<SipEngine>(transport_, lineOf("alice"),
                                          makeSignallingOnlyMedia("127.0.0.1"));
    if (pumpUntil([&] { return engine_->callState() != kCallIdle; }, 1s)) ++busyRounds;
    engine_.reset();
    loop_.runPending();
  }
  flooding = false;
  flood.join();
  EXPECT_GE(busyRounds, 20);  // the engines were destroyed in a call, as meant
  // The transport is still sound: with no engine left, an INVITE is not found. It is sent
  // again as a caller would: the first may find the socket still full of the flood (under a
  // thread sanitizer) and be dropped.
  std::string notFound;
  for (int send = 0; send < 10 && notFound.empty(); ++send) {
    far_.send(enginePort_,
              request("INVITE", enginePort_, far_.port(), "alice", "after", "", kOffer));
    notFound = awaitMessage("SIP/2.0 404 Not Found", 500ms);
  }
  EXPECT_FALSE(notFound.empty());
}

// The far end's texts change on the call thread when a caller takes the call over with
// Replaces, while the GUI thread reads them: the reads always see whole texts (the
// thread-sanitizer run of this test finds the race if they are read unguarded).
TEST_F(EngineTest, FarEndTextsChangeOnTheCallThreadWhileTheGuiReadsThem) {
  start();
  const std::string ok = connect("call-r");
  ASSERT_FALSE(ok.empty());
  EXPECT_EQ(engine_->remoteDisplayName(), "far");
  const std::string toHeader = headerOf(ok, "To");
  const std::string ourTag = toHeader.substr(toHeader.find(";tag=") + 5);
  const std::string carol = "\"Carol\" <sip:carol@127.0.0.1:5090;transport=udp>;tag=c1";
  far_.send(enginePort_,
            request("INVITE", enginePort_, far_.port(), "alice", "call-c",
                    "Replaces: call-r;to-tag=" + ourTag + ";from-tag=f1\r\n", kOffer, carol));
  std::string seen;
  EXPECT_TRUE(pumpUntil([&] {
    seen = engine_->remoteDisplayName() + " " + engine_->remoteUser() + " " + engine_->remoteUri();
    return engine_->remoteDisplayName() == "Carol";
  }));
  EXPECT_EQ(seen, "Carol carol carol@127.0.0.1:5090");  // no scheme, no parameters
  const std::string replaced = awaitMessage("SIP/2.0 200 OK");
  ASSERT_FALSE(replaced.empty());
  far_.send(enginePort_, ackOf(replaced, enginePort_, far_.port(), "call-c", carol));
}

// A domain with two servers by SRV: the first answers the INVITE 503. The engine
// acknowledges that and sends the INVITE to the second as a new transaction (a new branch,
// the next CSeq, the same Call-ID and From), where the call connects.
TEST_F(EngineTest, AnInviteAnswered503GoesToTheDomainsNextServer) {
  FarEnd second;
  transport_.setLocator(twoServers(far_.port(), second.port()));
  start();
  ASSERT_EQ(engine_->Dial("bob@example.test"), 1);
  const std::string first = awaitMessage("INVITE sip:bob@example.test ");
  ASSERT_FALSE(first.empty());
  far_.send(enginePort_, responseTo(first, "503 Service Unavailable", "u1"));
  EXPECT_FALSE(awaitMessage("ACK ").empty());

  std::string retried;
  ASSERT_TRUE(pumpUntil([&] {
    retried = second.receive(1);
    return retried.rfind("INVITE ", 0) == 0;
  }));
  EXPECT_EQ(headerOf(retried, "Call-ID"), headerOf(first, "Call-ID"));
  EXPECT_EQ(headerOf(retried, "From"), headerOf(first, "From"));
  EXPECT_NE(headerOf(retried, "Via"), headerOf(first, "Via"));
  EXPECT_EQ(std::stoul(headerOf(retried, "CSeq")), std::stoul(headerOf(first, "CSeq")) + 1);
  EXPECT_EQ(headerOf(retried, "CSeq").substr(headerOf(retried, "CSeq").find(' ')), " INVITE");

  second.send(enginePort_,
              responseTo(retried, "200 OK", "ok2",
                         "Contact: <sip:bob@127.0.0.1:" + std::to_string(second.port()) + ">\r\n",
                         mediaOffer(40002)));
  EXPECT_TRUE(pumpUntil([&] { return engine_->callState() == kCallConnected; }));
  EXPECT_TRUE(far_.receive(300).empty());  // nothing more for the first server
}

// The domain's first server is a port nothing listens on: the ICMP error for the first
// REGISTER marks it failed, and the next REGISTER goes to the second server at once (not
// after the 7 s resend time).
TEST_F(EngineTest, ARegisterToAnUnreachableServerGoesToTheNextOneAtOnce) {
  LogLines log;
  const uint16_t closed = static_cast<uint16_t>(platform::testing::freeUdpPort());
  transport_.setLocator(twoServers(closed, far_.port()));
  LineIdentity line = lineOf("alice");
  line.server = "example.test";
  line.outboundServer = line.server;
  const uint32_t began = platform::tickMs();
  start(line, makeSignallingOnlyMedia("127.0.0.1"));
  const std::string registerRequest = awaitMessage("REGISTER sip:example.test ", 1000ms);
  ASSERT_FALSE(registerRequest.empty()) << log.all();
  EXPECT_LT(platform::tickMs() - began, 1000u);
  SipTarget first = udpTarget(*platform::SocketAddress::parse("127.0.0.1", closed));
  EXPECT_TRUE(transport_.failedSince(first, began));
  EXPECT_TRUE(log.has(unreachableLine(closed))) << log.all();

  far_.send(enginePort_, responseTo(registerRequest, "200 OK", "r1",
                                    "Contact: " + headerOf(registerRequest, "Contact") + "\r\n"));
  EXPECT_TRUE(pumpUntil([&] {
    const std::vector<Registration> now = transport_.registrations().snapshot();
    return now.size() == 1 && now[0].registered;
  }));
}

// The same for an INVITE: the call goes to the second server within a second and connects.
TEST_F(EngineTest, AnInviteToAnUnreachableServerGoesToTheNextOneAtOnce) {
  LogLines log;
  const uint16_t closed = static_cast<uint16_t>(platform::testing::freeUdpPort());
  transport_.setLocator(twoServers(closed, far_.port()));
  start();
  const uint32_t began = platform::tickMs();
  ASSERT_EQ(engine_->Dial("bob@example.test"), 1);
  const std::string invite = awaitMessage("INVITE sip:bob@example.test ", 1000ms);
  ASSERT_FALSE(invite.empty()) << log.all();
  EXPECT_LT(platform::tickMs() - began, 1000u);
  EXPECT_TRUE(log.has("The server 127.0.0.1:" + std::to_string(closed) +
                      " (UDP) could not be reached; the call goes to the next one: 127.0.0.1:" +
                      std::to_string(far_.port()) + " (UDP)"))
      << log.all();
  EXPECT_TRUE(log.has(unreachableLine(closed))) << log.all();

  far_.send(enginePort_,
            responseTo(invite, "200 OK", "ok1",
                       "Contact: <sip:bob@127.0.0.1:" + std::to_string(far_.port()) + ">\r\n",
                       mediaOffer(40002)));
  EXPECT_TRUE(pumpUntil([&] { return engine_->callState() == kCallConnected; }));
}

}  // namespace
}  // namespace quillet::sip
