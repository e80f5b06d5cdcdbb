// SPDX-License-Identifier: Apache-2.0
// Where a SIP request goes: the ordered targets (transport, address, port) of a SIP or SIPS
// URI by NAPTR, SRV, AAAA and A records, kept for their time to live.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "net/dns_resolver.h"
#include "platform/event.h"
#include "sip/transport_kind.h"

namespace quillet::sip {

struct ServerTarget {
  TransportKind transport = TransportKind::Udp;
  std::string address;  // numeric, IPv6 without brackets
  uint16_t port = 0;
  // How it was found: "NAPTR _sips._tcp.example.test", "SRV _sip._udp.example.test", "AAAA",
  // "A" or "numeric".
  std::string source;

  bool operator==(const ServerTarget&) const = default;
};

struct LocateResult {
  std::vector<ServerTarget> targets;  // the order to try them in
  std::string error;                  // why there are none ("NXDOMAIN", "timeout", ...)
};

// "Unable to find address of server: HOST (REASON)"
std::string unableToFindText(std::string_view host, std::string_view reason);

// What a URI says about its server: "sip:", "sips:" or no scheme, an optional user part,
// the host (IPv6 in brackets), the port and the transport and maddr parameters.
struct ServerName {
  std::string host;  // maddr when given; IPv6 without brackets
  bool numeric = false;
  std::optional<uint16_t> port;
  std::optional<TransportKind> transport;  // from the transport parameter or sips:
  bool secure = false;                     // sips:
};
// Nothing, and `error` set, for a URI that names no usable server.
std::optional<ServerName> readServerName(std::string_view uri, std::optional<TransportKind> forced,
                                         std::string& error);

// The transport a NAPTR service stands for ("SIPS+D2T", "SIP+D2T", "SIP+D2U", any case).
std::optional<TransportKind> naptrTransport(std::string_view service);
// The NAPTR records to follow: supported services (only SIPS+D2T when `secureOnly`) with
// the terminal flag "s" (or no flags: another NAPTR name follows), by order then preference.
std::vector<net::NaptrRecord> orderNaptr(std::vector<net::NaptrRecord> records, bool secureOnly);
// SRV records by priority, each priority's records in a weighted random order (a record's
// chance to come first is its share of the weights; weight 0 ones are seldom first).
// Records naming "." (no service) are dropped.
std::vector<net::SrvRecord> orderSrv(std::vector<net::SrvRecord> records, std::mt19937& random);
// "_sips._tcp.", "_sip._tcp." or "_sip._udp." before the domain.
std::string srvName(TransportKind transport, std::string_view domain);

// Caps of the walk through the records.
constexpr size_t kMaxSrvTargets = 16;  // SRV targets whose addresses are asked for
constexpr int kMaxNaptrDepth = 2;      // NAPTR replacements followed to further NAPTR names
constexpr size_t kMaxCachedNames = 64;

class ServerLocator {
 public:
  // Asks a set of questions at once within timeoutMs (the resolver by default).
  using DnsLookup = std::function<std::vector<net::DnsAnswer>(
      const std::vector<net::DnsQuestion>&, platform::Event* stop, int32_t timeoutMs)>;
  using Clock = std::chrono::steady_clock;

  struct Options {
    DnsLookup lookup;                        // empty: c-ares with the system's configuration
    int32_t timeoutMs = 8000;                // for one locate() in all
    uint32_t seed = std::random_device{}();  // of the SRV weight draws
    std::function<Clock::time_point()> now;  // empty: the steady clock
  };

  ServerLocator();
  explicit ServerLocator(Options options);

  // The targets of a URI ("sip:...", "sips:..." or "host[:port]"), the transport forced by
  // the line setting (when it is) winning over the URI's. Waits for DNS at most the time-out;
  // a set `stop` (may be null) ends it at once ("cancelled"). Any thread may call.
  LocateResult locate(std::string_view uri, std::optional<TransportKind> forced,
                      platform::Event* stop);

 private:
  struct Cached {
    LocateResult result;
    Clock::time_point expires;
  };
  Clock::time_point now() const;
  std::optional<LocateResult> cached(const std::string& key);
  void store(const std::string& key, const LocateResult& result, uint32_t ttl);

  Options options_;
  std::mutex mutex_;  // the cache and the random draws
  std::map<std::string, Cached> cache_;
  std::mt19937 random_;
  friend class LocateWalk;
};

}  // namespace quillet::sip
