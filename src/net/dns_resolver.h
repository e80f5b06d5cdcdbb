// SPDX-License-Identifier: Apache-2.0
// DNS queries (NAPTR, SRV, AAAA, A) through c-ares: the replies read into records with their
// time to live, and a resolver whose waits give way to a stop event and an overall time-out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event.h"

namespace quillet::net {

// At most this many records of one reply are read; the rest are ignored.
constexpr size_t kMaxDnsRecords = 32;

enum class DnsType : uint8_t { Naptr, Srv, Aaaa, A };

// "NAPTR", "SRV", "AAAA", "A"
std::string_view dnsTypeName(DnsType type);

struct NaptrRecord {
  uint16_t order = 0;
  uint16_t preference = 0;
  std::string flags;
  std::string service;
  std::string regexp;
  std::string replacement;  // a domain name ("" for the root)
};

struct SrvRecord {
  uint16_t priority = 0;
  uint16_t weight = 0;
  uint16_t port = 0;
  std::string target;  // "" or "." when the service is not offered there
};

struct DnsAnswer {
  // Empty when records came; otherwise why not: "NXDOMAIN", "no records", "timeout",
  // "refused", "server failure", "bad reply", "cancelled", ...
  std::string error;
  uint32_t ttl = 0;  // seconds: the smallest of the records read
  std::vector<NaptrRecord> naptr;
  std::vector<SrvRecord> srv;
  std::vector<std::string> addresses;  // numeric, IPv6 without brackets
  size_t recordsHeld = 0;              // answer records in the reply (may exceed those read)

  bool ok() const { return error.empty(); }
};

// Reads a reply to a query of `type`: at most kMaxDnsRecords answer records are looked at,
// whatever the reply holds. Never fails: bad bytes give an answer with an error.
DnsAnswer readDnsReply(DnsType type, const uint8_t* data, size_t size);

// The reason text of a c-ares status ("NXDOMAIN" for ARES_ENOTFOUND, ...).
std::string dnsErrorText(int aresStatus);

struct DnsQuestion {
  std::string name;
  DnsType type = DnsType::A;
};

// One c-ares channel with the system's resolver configuration (or the servers given). Not
// for several threads at once: each thread makes its own.
class DnsResolver {
 public:
  // servers: "" for /etc/resolv.conf, else "ADDRESS[:PORT],..." as c-ares reads it.
  explicit DnsResolver(const std::string& servers = {});
  ~DnsResolver();
  DnsResolver(const DnsResolver&) = delete;
  DnsResolver& operator=(const DnsResolver&) = delete;

  // Empty when the channel works, else why not.
  const std::string& initError() const { return initError_; }

  // Asks all questions at once and waits for their answers, at most timeoutMs in all; a
  // set `stop` (may be null) cancels at once ("cancelled"), the time-out gives "timeout".
  // One answer per question, in the same order.
  std::vector<DnsAnswer> query(std::span<const DnsQuestion> questions, platform::Event* stop,
                               int32_t timeoutMs);

 private:
  struct Channel;
  std::unique_ptr<Channel> channel_;
  std::string initError_;
};

}  // namespace quillet::net
