// SPDX-License-Identifier: Apache-2.0
// Tests of the DNS reply reader and of the resolver against a small server on loopback
// (answers built by dns_test_util.h, or none at all).
#include "net/dns_resolver.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "net/dns_test_util.h"
#include "platform/socket.h"

namespace quillet::net {
namespace {

using namespace test;

DnsAnswer read(DnsType type, const std::vector<uint8_t>& bytes) {
  return readDnsReply(type, bytes.data(), bytes.size());
}

TEST(DnsReply, RecordsAndTheirSmallestTtl) {
  const DnsAnswer naptr =
      read(DnsType::Naptr,
           dnsReply(7, "example.test", 35,
                    {naptrRecord(300, 10, 20, "s", "SIPS+D2T", "_sips._tcp.example.test"),
                     naptrRecord(60, 20, 10, "S", "SIP+D2U", "_sip._udp.example.test")}));
  ASSERT_TRUE(naptr.ok()) << naptr.error;
  ASSERT_EQ(naptr.naptr.size(), 2u);
  EXPECT_EQ(naptr.ttl, 60u);
  EXPECT_EQ(naptr.naptr[0].order, 10);
  EXPECT_EQ(naptr.naptr[0].preference, 20);
  EXPECT_EQ(naptr.naptr[0].service, "SIPS+D2T");
  EXPECT_EQ(naptr.naptr[1].flags, "S");
  EXPECT_EQ(naptr.naptr[1].replacement, "_sip._udp.example.test");

  const DnsAnswer srv = read(DnsType::Srv, dnsReply(8, "_sip._udp.example.test", 33,
                                                    {srvRecord(120, 1, 60, 5070, "a.example.test"),
                                                     srvRecord(90, 2, 0, 5080, "b.example.test")}));
  ASSERT_TRUE(srv.ok()) << srv.error;
  ASSERT_EQ(srv.srv.size(), 2u);
  EXPECT_EQ(srv.ttl, 90u);
  EXPECT_EQ(srv.srv[0].target, "a.example.test");
  EXPECT_EQ(srv.srv[0].weight, 60);
  EXPECT_EQ(srv.srv[1].port, 5080);

  const DnsAnswer a =
      read(DnsType::A,
           dnsReply(9, "a.example.test", 1, {aRecord(40, 10, 0, 0, 1), aRecord(30, 10, 0, 0, 2)}));
  EXPECT_EQ(a.addresses, (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ(a.ttl, 30u);
  const DnsAnswer aaaa =
      read(DnsType::Aaaa, dnsReply(9, "a.example.test", 28, {aaaaRecord(50, 5)}));
  EXPECT_EQ(aaaa.addresses, (std::vector<std::string>{"2001:db8::5"}));
  EXPECT_EQ(aaaa.ttl, 50u);
}

TEST(DnsReply, AtMost32RecordsAreRead) {
  std::vector<Record> many;
  for (int i = 0; i < 500; ++i) {
    many.push_back(aRecord(i < 32 ? 100 : 5, 10, 1, static_cast<uint8_t>(i / 250),
                           static_cast<uint8_t>(i % 250)));
  }
  std::vector<Record> srvs;
  for (int i = 0; i < 200; ++i)
    srvs.push_back(srvRecord(i < 32 ? 100 : 5, 1, 1, 5060, "x.example.test"));
  const DnsAnswer a = read(DnsType::A, dnsReply(1, "many.example.test", 1, many));
  const DnsAnswer srv = read(DnsType::Srv, dnsReply(1, "_sip._udp.example.test", 33, srvs));
  EXPECT_EQ(a.recordsHeld, 500u);
  EXPECT_EQ(a.addresses.size(), kMaxDnsRecords);
  EXPECT_EQ(a.ttl, 100u) << "the records past the 32nd are not looked at";
  EXPECT_EQ(srv.recordsHeld, 200u);
  EXPECT_EQ(srv.srv.size(), kMaxDnsRecords);
  EXPECT_EQ(srv.ttl, 100u);
}

TEST(DnsReply, FailuresHaveAReason) {
  EXPECT_EQ(read(DnsType::A, dnsReply(1, "gone.example.test", 1, {}, 3)).error, "NXDOMAIN");
  EXPECT_EQ(read(DnsType::A, dnsReply(1, "x.example.test", 1, {}, 5)).error, "refused");
  EXPECT_EQ(read(DnsType::Srv, dnsReply(1, "x.example.test", 33, {})).error, "no records");
  // A-records only, asked for SRV: nothing of the type asked for.
  EXPECT_EQ(read(DnsType::Srv, dnsReply(1, "x.example.test", 33, {aRecord(5, 1, 2, 3, 4)})).error,
            "no records");
  std::vector<uint8_t> cut = dnsReply(1, "x.example.test", 33, {srvRecord(5, 1, 1, 1, "y.test")});
  cut.resize(cut.size() - 4);
  EXPECT_FALSE(read(DnsType::Srv, cut).ok());
  EXPECT_EQ(readDnsReply(DnsType::A, cut.data(), 5).error, "bad reply");
  EXPECT_EQ(read(DnsType::A, cut).ttl, 0u);
}

// A DNS server on 127.0.0.1 that answers names it knows (any type: the records given) and
// stays silent for the rest.
class LoopbackDns {
 public:
  explicit LoopbackDns(std::map<std::string, std::vector<Record>> names)
      : names_(std::move(names)) {
    EXPECT_TRUE(platform::bindUdp(socket_, 0, platform::ipv4(127, 0, 0, 1)));
    port_ = platform::localEndpoint(socket_.get()).port;
    thread_ = std::thread([this] { serve(); });
  }
  ~LoopbackDns() {
    done_ = true;
    thread_.join();
  }
  std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
  int queries() const { return queries_; }

 private:
  void serve() {
    while (!done_) {
      pollfd fd{socket_.get(), POLLIN, 0};
      if (::poll(&fd, 1, 20) <= 0) continue;
      uint8_t query[512];
      platform::Endpoint from;
      const int size = platform::recvFrom(socket_.get(), query, sizeof query, &from);
      if (size < 17) continue;
      ++queries_;
      std::string name;
      for (int at = 12; at < size && query[at] != 0; at += query[at] + 1) {
        if (!name.empty()) name += '.';
        name.append(reinterpret_cast<const char*>(query + at + 1), query[at]);
      }
      const auto found = names_.find(name);
      if (found == names_.end()) continue;
      const uint16_t type = static_cast<uint16_t>((query[size - 4] << 8) | query[size - 3]);
      const uint16_t id = static_cast<uint16_t>((query[0] << 8) | query[1]);
      const std::vector<uint8_t> reply =
          dnsReply(id, name, type, found->second, found->second.empty() ? 3 : 0);
      platform::sendTo(socket_.get(), reply.data(), reply.size(), from);
    }
  }

  std::map<std::string, std::vector<Record>> names_;
  platform::UniqueFd socket_;
  uint16_t port_ = 0;
  std::atomic<bool> done_{false};
  std::atomic<int> queries_{0};
  std::thread thread_;
};

using Clock = std::chrono::steady_clock;

int64_t msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(DnsResolver, AsksTogetherAndAnswersInOrder) {
  LoopbackDns dns({{"a.example.test", {aRecord(60, 192, 0, 2, 7)}},
                   {"_sip._tcp.example.test", {srvRecord(30, 0, 5, 5062, "a.example.test")}},
                   {"gone.example.test", {}}});
  DnsResolver resolver(dns.server());
  ASSERT_EQ(resolver.initError(), "");
  const std::vector<DnsQuestion> questions{{"_sip._tcp.example.test", DnsType::Srv},
                                           {"gone.example.test", DnsType::A},
                                           {"a.example.test", DnsType::A}};
  const std::vector<DnsAnswer> answers = resolver.query(questions, nullptr, 3000);
  ASSERT_EQ(answers.size(), 3u);
  ASSERT_EQ(answers[0].srv.size(), 1u);
  EXPECT_EQ(answers[0].srv[0].port, 5062);
  EXPECT_EQ(answers[0].ttl, 30u);
  EXPECT_EQ(answers[1].error, "NXDOMAIN");
  EXPECT_EQ(answers[2].addresses, (std::vector<std::string>{"192.0.2.7"}));
  EXPECT_EQ(answers[2].ttl, 60u);
}

TEST(DnsResolver, SilentServerTimesOutAndStopCancelsAtOnce) {
  LoopbackDns dns({});
  DnsResolver resolver(dns.server());
  const std::vector<DnsQuestion> question{{"quiet.example.test", DnsType::A}};

  Clock::time_point start = Clock::now();
  std::vector<DnsAnswer> answers = resolver.query(question, nullptr, 400);
  EXPECT_EQ(answers.at(0).error, "timeout");
  EXPECT_GE(msSince(start), 390);
  EXPECT_LT(msSince(start), 1500);
  EXPECT_GE(dns.queries(), 1);

  platform::Event stop;
  std::thread stopper([&stop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop.set();
  });
  start = Clock::now();
  answers = resolver.query(question, &stop, 10000);
  stopper.join();
  EXPECT_EQ(answers.at(0).error, "cancelled");
  EXPECT_LT(msSince(start), 600);

  // Already stopped: nothing is waited for.
  answers = resolver.query(question, &stop, 10000);
  EXPECT_EQ(answers.at(0).error, "cancelled");

  // A channel that could not be set up answers at once with why.
  DnsResolver broken("not a server list");
  EXPECT_NE(broken.initError(), "");
  start = Clock::now();
  answers = broken.query(question, nullptr, 10000);
  EXPECT_EQ(answers.at(0).error, broken.initError());
  EXPECT_LT(msSince(start), 100);
}

}  // namespace
}  // namespace quillet::net
