// SPDX-License-Identifier: Apache-2.0
// Tests of the server location: reading URIs, the NAPTR and SRV order, and the walk through
// records served by a table instead of DNS.
#include "sip/server_locator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <thread>

namespace quillet::sip {
namespace {

using net::DnsAnswer;
using net::DnsType;

// Records by (name, type); a name with no records of any type is NXDOMAIN.
class FakeDns {
 public:
  void naptr(const std::string& name, std::vector<net::NaptrRecord> records, uint32_t ttl = 300) {
    answers_[{name, DnsType::Naptr}].naptr = std::move(records);
    answers_[{name, DnsType::Naptr}].ttl = ttl;
  }
  void srv(const std::string& name, std::vector<net::SrvRecord> records, uint32_t ttl = 300) {
    answers_[{name, DnsType::Srv}].srv = std::move(records);
    answers_[{name, DnsType::Srv}].ttl = ttl;
  }
  void address(const std::string& name, DnsType type, std::vector<std::string> addresses,
               uint32_t ttl = 300) {
    answers_[{name, type}].addresses = std::move(addresses);
    answers_[{name, type}].ttl = ttl;
  }
  void fail(const std::string& reason) { failure_ = reason; }

  ServerLocator::DnsLookup lookup() {
    return [this](const std::vector<net::DnsQuestion>& questions, platform::Event*, int32_t) {
      std::lock_guard lock(mutex_);
      std::vector<DnsAnswer> out;
      for (const net::DnsQuestion& q : questions) {
        asked_.push_back(std::string(net::dnsTypeName(q.type)) + " " + q.name);
        const auto found = answers_.find({q.name, q.type});
        DnsAnswer answer;
        if (!failure_.empty()) {
          answer.error = failure_;
        } else if (found != answers_.end()) {
          answer = found->second;
        } else {
          const bool known = std::any_of(answers_.begin(), answers_.end(),
                                         [&](const auto& e) { return e.first.first == q.name; });
          answer.error = known ? "no records" : "NXDOMAIN";
        }
        out.push_back(answer);
      }
      return out;
    };
  }
  std::vector<std::string> takeAsked() {
    std::lock_guard lock(mutex_);
    return std::exchange(asked_, {});
  }

 private:
  std::map<std::pair<std::string, DnsType>, DnsAnswer> answers_;
  std::string failure_;
  std::mutex mutex_;
  std::vector<std::string> asked_;
};

ServerTarget target(TransportKind t, std::string address, uint16_t port, std::string source) {
  return {t, std::move(address), port, std::move(source)};
}

TEST(ServerName, ReadsTheServerPartOfUris) {
  std::string error;
  auto name = readServerName("\"Bob\" <sip:bob:pw@Example.Test;lr>", std::nullopt, error);
  ASSERT_TRUE(name) << error;
  EXPECT_EQ(name->host, "Example.Test");
  EXPECT_FALSE(name->port || name->transport || name->secure || name->numeric);

  name = readServerName("sips:1234;phone-context=x@example.test", std::nullopt, error);
  ASSERT_TRUE(name) << error;
  EXPECT_EQ(name->host, "example.test");
  EXPECT_EQ(name->transport, TransportKind::Tls);

  name = readServerName("sip:[2001:db8::1]:5070;transport=TCP", std::nullopt, error);
  ASSERT_TRUE(name) << error;
  EXPECT_EQ(name->host, "2001:db8::1");
  EXPECT_TRUE(name->numeric);
  EXPECT_EQ(name->port, 5070);
  EXPECT_EQ(name->transport, TransportKind::Tcp);

  name = readServerName("pbx.example.test:5080", TransportKind::Tcp, error);
  ASSERT_TRUE(name) << error;
  EXPECT_EQ(name->port, 5080);
  EXPECT_EQ(name->transport, TransportKind::Tcp) << "the line's transport";
  name = readServerName("sip:a.test;transport=udp;maddr=192.0.2.9", TransportKind::Tls, error);
  ASSERT_TRUE(name) << error;
  EXPECT_EQ(name->host, "192.0.2.9");
  EXPECT_EQ(name->transport, TransportKind::Tls) << "the line's transport wins over the URI's";

  const std::pair<const char*, const char*> bad[] = {
      {"tel:+4930123", "not a SIP URI"},
      {"sip:a.test;transport=sctp", "unsupported transport sctp"},
      {"sips:a.test;transport=udp", "sips: needs TLS, not UDP"},
      {"sip:a.test:0", "bad port"},
      {"sip:a.test:65536", "bad port"},
      {"sip:a.test:50x", "bad port"},
      {"sip:a b.test", "bad host name"},
      {"sip:user@", "bad host name"},
      {"sip:[2001:db8::1", "bad host name"},
      {"sip:[example.test]", "bad IPv6 address"},
      {"sip:a..test", "bad host name"},
  };
  for (const auto& [uri, reason] : bad) {
    error.clear();
    EXPECT_FALSE(readServerName(uri, std::nullopt, error)) << uri;
    EXPECT_EQ(error, reason) << uri;
  }
}

TEST(ServerOrder, NaptrKeepsSupportedServicesByOrderThenPreference) {
  const std::vector<net::NaptrRecord> records{
      {20, 10, "s", "SIP+D2U", "", "_sip._udp.a.test"},
      {10, 50, "S", "sip+d2t", "", "_sip._tcp.a.test"},
      {10, 5, "s", "SIPS+D2T", "", "_sips._tcp.a.test"},
      {5, 5, "s", "SIP+D2S", "", "_sip._sctp.a.test"},  // not a transport of ours
      {5, 5, "u", "SIP+D2U", "!.*!sip:x!", ""},         // a URI rewrite: not for SIP location
      {5, 5, "a", "SIP+D2U", "", "a.test"},
  };
  std::vector<std::string> order;
  for (const auto& r : orderNaptr(records, false)) order.push_back(r.replacement);
  EXPECT_EQ(order, (std::vector<std::string>{"_sips._tcp.a.test", "_sip._tcp.a.test",
                                             "_sip._udp.a.test"}));
  const auto secure = orderNaptr(records, true);
  ASSERT_EQ(secure.size(), 1u);
  EXPECT_EQ(secure[0].service, "SIPS+D2T");
}

TEST(ServerOrder, SrvByPriorityThenWeightedDraw) {
  const std::vector<net::SrvRecord> records{{2, 0, 5060, "late.test"}, {1, 60, 5060, "heavy.test"},
                                            {1, 30, 5060, "mid.test"}, {1, 10, 5060, "light.test"},
                                            {1, 0, 5060, "zero.test"}, {0, 5, 5060, "."}};
  std::mt19937 random(1234);
  std::map<std::string, int> first;
  const int draws = 20000;
  for (int i = 0; i < draws; ++i) {
    const auto ordered = orderSrv(records, random);
    ASSERT_EQ(ordered.size(), 5u) << "the \".\" target is dropped";
    EXPECT_EQ(ordered.back().target, "late.test") << "priority 2 after all of priority 1";
    ++first[ordered.front().target];
  }
  // RFC 2782: a record comes first in proportion to its weight; weight 0 seldom.
  EXPECT_NEAR(first["heavy.test"] / double(draws), 0.60, 0.02);
  EXPECT_NEAR(first["mid.test"] / double(draws), 0.30, 0.02);
  EXPECT_NEAR(first["light.test"] / double(draws), 0.10, 0.02);
  EXPECT_LT(first["zero.test"] / double(draws), 0.02);

  std::mt19937 same1(7), same2(7);
  std::vector<std::string> a, b;
  for (const auto& r : orderSrv(records, same1)) a.push_back(r.target);
  for (const auto& r : orderSrv(records, same2)) b.push_back(r.target);
  EXPECT_EQ(a, b) << "a fixed seed gives a fixed order";
}

class LocatorTest : public ::testing::Test {
 protected:
  LocatorTest() {
    ServerLocator::Options options;
    options.lookup = dns.lookup();
    options.seed = 42;
    options.now = [this] { return clock; };
    locator = std::make_unique<ServerLocator>(options);
  }

  // The example.test zone: NAPTR for all three transports, SRV for each, addresses.
  void fullZone() {
    dns.naptr("example.test", {{10, 10, "s", "SIPS+D2T", "", "_sips._tcp.example.test"},
                               {20, 10, "s", "SIP+D2U", "", "_sip._udp.example.test"},
                               {10, 20, "s", "SIP+D2T", "", "_sip._tcp.example.test"}});
    dns.srv("_sips._tcp.example.test", {{1, 10, 5061, "tls.example.test"}});
    dns.srv("_sip._tcp.example.test", {{1, 10, 5060, "tcp.example.test"}});
    dns.srv("_sip._udp.example.test",
            {{2, 10, 5070, "udp2.example.test"}, {1, 10, 5060, "udp1.example.test"}}, 30);
    dns.address("tls.example.test", DnsType::Aaaa, {"2001:db8::5"});
    dns.address("tls.example.test", DnsType::A, {"192.0.2.5"});
    dns.address("tcp.example.test", DnsType::A, {"192.0.2.6"});
    dns.address("udp1.example.test", DnsType::A, {"192.0.2.7", "192.0.2.8"});
    dns.address("udp2.example.test", DnsType::A, {"192.0.2.9"});
  }

  FakeDns dns;
  ServerLocator::Clock::time_point clock{};
  std::unique_ptr<ServerLocator> locator;
};

TEST_F(LocatorTest, NaptrThenSrvThenAddresses) {
  fullZone();
  const LocateResult result = locator->locate("sip:alice@example.test", std::nullopt, nullptr);
  const std::string tls = "NAPTR _sips._tcp.example.test", tcp = "NAPTR _sip._tcp.example.test",
                    udp = "NAPTR _sip._udp.example.test";
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(result.targets, (std::vector<ServerTarget>{
                                target(TransportKind::Tls, "2001:db8::5", 5061, tls),
                                target(TransportKind::Tls, "192.0.2.5", 5061, tls),
                                target(TransportKind::Tcp, "192.0.2.6", 5060, tcp),
                                target(TransportKind::Udp, "192.0.2.7", 5060, udp),
                                target(TransportKind::Udp, "192.0.2.8", 5060, udp),
                                target(TransportKind::Udp, "192.0.2.9", 5070, udp),
                            }));
  // sips: keeps to SIPS+D2T.
  const LocateResult secure = locator->locate("sips:example.test", std::nullopt, nullptr);
  ASSERT_EQ(secure.targets.size(), 2u);
  EXPECT_EQ(secure.targets[1], target(TransportKind::Tls, "192.0.2.5", 5061, tls));
}

TEST_F(LocatorTest, WithoutNaptrEachTransportsSrvThenThePlainName) {
  dns.srv("_sip._udp.example.test", {{1, 10, 5060, "udp1.example.test"}});
  dns.srv("_sips._tcp.example.test", {{1, 10, 5061, "udp1.example.test"}});
  dns.address("udp1.example.test", DnsType::A, {"192.0.2.7"});
  dns.address("example.test", DnsType::A, {"192.0.2.1"});
  LocateResult result = locator->locate("example.test", std::nullopt, nullptr);
  EXPECT_EQ(result.targets,
            (std::vector<ServerTarget>{
                target(TransportKind::Tls, "192.0.2.7", 5061, "SRV _sips._tcp.example.test"),
                target(TransportKind::Udp, "192.0.2.7", 5060, "SRV _sip._udp.example.test"),
            }));
  EXPECT_EQ(dns.takeAsked(),
            (std::vector<std::string>{"NAPTR example.test", "SRV _sips._tcp.example.test",
                                      "SRV _sip._tcp.example.test", "SRV _sip._udp.example.test",
                                      "AAAA udp1.example.test", "A udp1.example.test",
                                      "AAAA udp1.example.test", "A udp1.example.test"}));

  // transport= skips NAPTR and asks that transport's SRV only; none: the name's addresses.
  result = locator->locate("sip:example.test;transport=tcp", std::nullopt, nullptr);
  EXPECT_EQ(result.targets,
            (std::vector<ServerTarget>{target(TransportKind::Tcp, "192.0.2.1", 5060, "A")}));
  EXPECT_EQ(dns.takeAsked(), (std::vector<std::string>{"SRV _sip._tcp.example.test",
                                                       "AAAA example.test", "A example.test"}));
  result = locator->locate("example.test", TransportKind::Tls, nullptr);
  EXPECT_EQ(result.targets.at(0),
            target(TransportKind::Tls, "192.0.2.7", 5061, "SRV _sips._tcp.example.test"));
}

TEST_F(LocatorTest, NumericHostsAndPortsSkipNaptrAndSrv) {
  fullZone();
  dns.address("example.test", DnsType::A, {"192.0.2.1"});
  dns.address("example.test", DnsType::Aaaa, {"2001:db8::1"});
  EXPECT_EQ(locator->locate("sip:192.0.2.44", std::nullopt, nullptr).targets,
            (std::vector<ServerTarget>{target(TransportKind::Udp, "192.0.2.44", 5060, "numeric")}));
  EXPECT_EQ(
      locator->locate("sips:[2001:db8::2]", std::nullopt, nullptr).targets,
      (std::vector<ServerTarget>{target(TransportKind::Tls, "2001:db8::2", 5061, "numeric")}));
  EXPECT_EQ(locator->locate("192.0.2.44:5099", TransportKind::Tcp, nullptr).targets,
            (std::vector<ServerTarget>{target(TransportKind::Tcp, "192.0.2.44", 5099, "numeric")}));
  EXPECT_TRUE(dns.takeAsked().empty());
  EXPECT_EQ(locator->locate("sip:example.test:5080", std::nullopt, nullptr).targets,
            (std::vector<ServerTarget>{target(TransportKind::Udp, "2001:db8::1", 5080, "AAAA"),
                                       target(TransportKind::Udp, "192.0.2.1", 5080, "A")}));
  EXPECT_EQ(dns.takeAsked(), (std::vector<std::string>{"AAAA example.test", "A example.test"}));
}

TEST_F(LocatorTest, FailuresGiveTheirReason) {
  LocateResult result = locator->locate("sip:gone.example.test", std::nullopt, nullptr);
  EXPECT_TRUE(result.targets.empty());
  EXPECT_EQ(result.error, "NXDOMAIN");
  EXPECT_EQ(unableToFindText("gone.example.test", result.error),
            "Unable to find address of server: gone.example.test (NXDOMAIN)");
  dns.srv("_sip._udp.mx.test", {{1, 1, 5060, "nowhere.mx.test"}});
  EXPECT_EQ(locator->locate("sip:mx.test", std::nullopt, nullptr).error, "NXDOMAIN");
  EXPECT_EQ(locator->locate("tel:+123", std::nullopt, nullptr).error, "not a SIP URI");
  dns.takeAsked();

  dns.fail("timeout");
  result = locator->locate("sip:slow.example.test", std::nullopt, nullptr);
  EXPECT_EQ(result.error, "timeout");
  EXPECT_EQ(dns.takeAsked().size(), 1u) << "the walk ends at the first time-out";

  platform::Event stop;
  stop.set();
  dns.fail("");
  fullZone();
  result = locator->locate("sip:example.test", std::nullopt, &stop);
  EXPECT_EQ(result.error, "cancelled");
  EXPECT_TRUE(dns.takeAsked().empty());
}

TEST_F(LocatorTest, LoopsAndFanOutAreCapped) {
  // NAPTR names pointing at each other without end, and an SRV name with 32 targets.
  dns.naptr("loop.test", {{1, 1, "", "SIP+D2U", "", "a.loop.test"}});
  dns.naptr("a.loop.test",
            {{1, 1, "", "SIP+D2U", "", "loop.test"}, {1, 2, "", "SIP+D2U", "", "b.loop.test"}});
  dns.naptr("b.loop.test", {{1, 1, "", "SIP+D2U", "", "c.loop.test"}});
  dns.naptr("c.loop.test", {{1, 1, "s", "SIP+D2U", "", "_sip._udp.loop.test"}});
  std::vector<net::SrvRecord> many;
  for (int i = 0; i < 32; ++i) many.push_back({1, 1, 5060, "h" + std::to_string(i) + ".loop.test"});
  dns.srv("_sip._udp.loop.test", many);
  dns.srv("_sip._udp.fan.test", many);
  for (int i = 0; i < 32; ++i)
    dns.address("h" + std::to_string(i) + ".loop.test", DnsType::A, {"192.0.2.1"});

  LocateResult result = locator->locate("sip:loop.test", std::nullopt, nullptr);
  std::vector<std::string> asked = dns.takeAsked();
  const auto naptrs = std::count_if(asked.begin(), asked.end(),
                                    [](const auto& q) { return q.starts_with("NAPTR"); });
  EXPECT_EQ(naptrs, 1 + kMaxNaptrDepth) << "loop.test, a.loop.test, b.loop.test; c is too deep";

  result = locator->locate("sip:fan.test", std::nullopt, nullptr);
  asked = dns.takeAsked();
  const auto addressQuestions = std::count_if(
      asked.begin(), asked.end(), [](const auto& q) { return q.find(".loop.test") != q.npos; });
  EXPECT_EQ(addressQuestions, static_cast<long>(2 * kMaxSrvTargets));
  EXPECT_EQ(result.targets.size(), 1u) << "the same address once per transport and port";
}

TEST_F(LocatorTest, CachedForTheSmallestTtlOfTheChain) {
  fullZone();  // the UDP SRV's 30 s is the smallest
  const LocateResult first = locator->locate("sip:example.test", std::nullopt, nullptr);
  ASSERT_FALSE(first.targets.empty());
  dns.takeAsked();
  clock += std::chrono::seconds(29);
  EXPECT_EQ(locator->locate("SIP:bob@EXAMPLE.test", std::nullopt, nullptr).targets, first.targets);
  EXPECT_TRUE(dns.takeAsked().empty());
  clock += std::chrono::seconds(2);
  locator->locate("sip:example.test", std::nullopt, nullptr);
  EXPECT_FALSE(dns.takeAsked().empty()) << "asked again once the 30 s passed";

  // A time to live of 0 still keeps the result a second; failures are not kept.
  dns.address("zero.test", DnsType::A, {"192.0.2.3"}, 0);
  locator->locate("zero.test:5060", std::nullopt, nullptr);
  locator->locate("zero.test:5060", std::nullopt, nullptr);
  EXPECT_EQ(dns.takeAsked().size(), 2u);
  locator->locate("gone.test", std::nullopt, nullptr);
  locator->locate("gone.test", std::nullopt, nullptr);
  EXPECT_EQ(dns.takeAsked().size(), 2u * 6);

  // Several threads at once get the same answer.
  dns.address("example.test", DnsType::A, {"192.0.2.1"});
  std::vector<std::thread> threads;
  std::atomic<int> same{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        const auto r = locator->locate("sip:example.test:5070", std::nullopt, nullptr);
        same += r.targets.empty() ? 0 : 1;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(same, 200);
}

}  // namespace
}  // namespace quillet::sip
