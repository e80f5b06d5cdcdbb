// SPDX-License-Identifier: Apache-2.0
// The server location walk (NAPTR, then SRV, then AAAA and A) and the cache of its results.
#include "sip/server_locator.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "base/log.h"

namespace quillet::sip {

namespace {

constexpr uint32_t kMinTtl = 1;
constexpr uint32_t kMaxTtl = 3600;

// One SRV name to ask for and what its targets will be used with.
struct SrvPlan {
  TransportKind transport;
  std::string name;
  std::string source;
};

// One host whose addresses are asked for.
struct HostPlan {
  TransportKind transport;
  std::string host;
  uint16_t port;
  std::string source;  // empty: "AAAA" or "A"
};

std::string lowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

ServerLocator::DnsLookup defaultLookup() {
  return
      [](const std::vector<net::DnsQuestion>& questions, platform::Event* stop, int32_t timeoutMs) {
        net::DnsResolver resolver;
        return resolver.query(questions, stop, timeoutMs);
      };
}

}  // namespace

// One locate(): the questions asked so far, their smallest time to live and the last reason.
class LocateWalk {
 public:
  LocateWalk(ServerLocator& locator, platform::Event* stop)
      : locator_(locator),
        stop_(stop),
        deadline_(ServerLocator::Clock::now() +
                  std::chrono::milliseconds(locator.options_.timeoutMs)) {}

  LocateResult run(const ServerName& name);
  uint32_t ttl() const { return std::clamp(ttl_, kMinTtl, kMaxTtl); }
  // Whether every question got its answer (a result to keep).
  bool complete() const { return !interrupted_; }

 private:
  std::vector<net::DnsAnswer> ask(const std::vector<net::DnsQuestion>& questions);
  std::vector<SrvPlan> naptrPlans(const std::string& domain, bool secureOnly);
  std::vector<HostPlan> hostPlans(const std::vector<SrvPlan>& plans);
  LocateResult addresses(const std::vector<HostPlan>& hosts);
  void note(const net::DnsAnswer& answer);

  ServerLocator& locator_;
  platform::Event* stop_;
  ServerLocator::Clock::time_point deadline_;
  uint32_t ttl_ = kMaxTtl;
  bool interrupted_ = false;  // cancelled or out of time: the result is not kept
  std::string reason_;
};

std::vector<net::DnsAnswer> LocateWalk::ask(const std::vector<net::DnsQuestion>& questions) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - ServerLocator::Clock::now())
          .count();
  std::vector<net::DnsAnswer> answers;
  if (interrupted_ || left <= 0 || (stop_ != nullptr && stop_->isSet())) {
    answers.resize(questions.size());
    for (auto& a : answers) a.error = left <= 0 ? "timeout" : "cancelled";
  } else {
    answers = locator_.options_.lookup(questions, stop_, static_cast<int32_t>(left));
    answers.resize(questions.size());  // a lookup that answered fewer: the rest failed
  }
  for (auto& a : answers) {
    if (a.error.empty() && a.naptr.empty() && a.srv.empty() && a.addresses.empty()) {
      a.error = "no records";
    }
    note(a);
  }
  return answers;
}

void LocateWalk::note(const net::DnsAnswer& answer) {
  if (answer.ok()) {
    ttl_ = std::min(ttl_, answer.ttl);
    return;
  }
  if (answer.error == "cancelled" || answer.error == "timeout") {
    if (!interrupted_) reason_ = answer.error;  // the first one says what happened
    interrupted_ = true;
    return;
  }
  // "no records" says least: any other reason stands over it.
  if (!interrupted_ && (reason_.empty() || reason_ == "no records")) reason_ = answer.error;
}

std::vector<SrvPlan> LocateWalk::naptrPlans(const std::string& domain, bool secureOnly) {
  std::vector<SrvPlan> plans;
  std::vector<std::string> names{domain};
  std::set<std::string> asked;
  for (int depth = 0; depth <= kMaxNaptrDepth && !names.empty(); ++depth) {
    std::vector<net::DnsQuestion> questions;
    for (const std::string& n : names) {
      if (asked.insert(lowerCase(n)).second) questions.push_back({n, net::DnsType::Naptr});
    }
    names.clear();
    const std::vector<net::DnsAnswer> answers = ask(questions);
    for (const net::DnsAnswer& answer : answers) {
      for (const net::NaptrRecord& r : orderNaptr(answer.naptr, secureOnly)) {
        if (r.flags.empty()) {
          names.push_back(r.replacement);  // another NAPTR name, one level down
        } else if (plans.size() < kMaxSrvTargets) {
          plans.push_back({*naptrTransport(r.service), r.replacement, "NAPTR " + r.replacement});
        }
      }
    }
  }
  return plans;
}

std::vector<HostPlan> LocateWalk::hostPlans(const std::vector<SrvPlan>& plans) {
  std::vector<net::DnsQuestion> questions;
  for (const SrvPlan& plan : plans) questions.push_back({plan.name, net::DnsType::Srv});
  const std::vector<net::DnsAnswer> answers = ask(questions);
  std::vector<HostPlan> hosts;
  for (size_t i = 0; i < plans.size(); ++i) {
    std::vector<net::SrvRecord> ordered;
    {
      std::lock_guard lock(locator_.mutex_);
      ordered = orderSrv(answers[i].srv, locator_.random_);
    }
    for (net::SrvRecord& r : ordered) {
      if (hosts.size() >= kMaxSrvTargets) return hosts;
      hosts.push_back({plans[i].transport, std::move(r.target), r.port, plans[i].source});
    }
  }
  return hosts;
}

LocateResult LocateWalk::addresses(const std::vector<HostPlan>& hosts) {
  if (!interrupted_) reason_.clear();  // the reason given is that of the addresses
  std::vector<net::DnsQuestion> questions;
  for (const HostPlan& h : hosts) {
    questions.push_back({h.host, net::DnsType::Aaaa});
    questions.push_back({h.host, net::DnsType::A});
  }
  const std::vector<net::DnsAnswer> answers = ask(questions);
  LocateResult result;
  for (size_t i = 0; i < hosts.size(); ++i) {
    for (size_t k = 0; k < 2; ++k) {
      const char* type = k == 0 ? "AAAA" : "A";
      for (const std::string& address : answers[2 * i + k].addresses) {
        ServerTarget target{hosts[i].transport, address, hosts[i].port,
                            hosts[i].source.empty() ? type : hosts[i].source};
        const bool seen =
            std::any_of(result.targets.begin(), result.targets.end(), [&](const auto& t) {
              return t.transport == target.transport && t.address == target.address &&
                     t.port == target.port;
            });
        if (!seen) result.targets.push_back(std::move(target));
      }
    }
  }
  if (result.targets.empty()) result.error = reason_.empty() ? "no records" : reason_;
  return result;
}

LocateResult LocateWalk::run(const ServerName& name) {
  const TransportKind fallback = name.transport.value_or(TransportKind::Udp);
  if (name.port) {
    return addresses({{fallback, name.host, *name.port, {}}});
  }
  std::vector<SrvPlan> plans;
  if (!name.transport || (name.secure && name.transport == TransportKind::Tls)) {
    plans = naptrPlans(name.host, name.secure);
  }
  if (plans.empty() && !interrupted_) {
    const std::vector<TransportKind> kinds =
        name.transport ? std::vector<TransportKind>{*name.transport}
                       : std::vector<TransportKind>{TransportKind::Tls, TransportKind::Tcp,
                                                    TransportKind::Udp};
    for (TransportKind kind : kinds) {
      const std::string srv = srvName(kind, name.host);
      plans.push_back({kind, srv, "SRV " + srv});
    }
  }
  std::vector<HostPlan> hosts = interrupted_ ? std::vector<HostPlan>{} : hostPlans(plans);
  if (hosts.empty() && !interrupted_) {
    hosts.push_back({fallback, name.host, defaultPort(fallback), {}});
  }
  return addresses(hosts);
}

ServerLocator::ServerLocator() : ServerLocator(Options{}) {}

ServerLocator::ServerLocator(Options options)
    : options_(std::move(options)), random_(options_.seed) {
  if (!options_.lookup) options_.lookup = defaultLookup();
}

ServerLocator::Clock::time_point ServerLocator::now() const {
  return options_.now ? options_.now() : Clock::now();
}

std::optional<LocateResult> ServerLocator::cached(const std::string& key) {
  std::lock_guard lock(mutex_);
  const auto found = cache_.find(key);
  if (found == cache_.end()) return std::nullopt;
  if (found->second.expires <= now()) {
    cache_.erase(found);
    return std::nullopt;
  }
  return found->second.result;
}

void ServerLocator::store(const std::string& key, const LocateResult& result, uint32_t ttl) {
  std::lock_guard lock(mutex_);
  const Clock::time_point at = now();
  if (cache_.size() >= kMaxCachedNames && cache_.find(key) == cache_.end()) {
    std::erase_if(cache_, [at](const auto& entry) { return entry.second.expires <= at; });
    if (cache_.size() >= kMaxCachedNames) {
      cache_.erase(std::min_element(cache_.begin(), cache_.end(), [](const auto& a, const auto& b) {
        return a.second.expires < b.second.expires;
      }));
    }
  }
  cache_[key] = {result, at + std::chrono::seconds(ttl)};
}

LocateResult ServerLocator::locate(std::string_view uri, std::optional<TransportKind> forced,
                                   platform::Event* stop) {
  LocateResult result;
  const std::optional<ServerName> name = readServerName(uri, forced, result.error);
  if (!name) return result;
  if (name->numeric) {
    const TransportKind transport = name->transport.value_or(TransportKind::Udp);
    result.targets.push_back(
        {transport, name->host, name->port.value_or(defaultPort(transport)), "numeric"});
    return result;
  }
  const std::string key = lowerCase(name->host) + "|" + std::to_string(name->port.value_or(0)) +
                          "|" +
                          (name->transport ? std::string(paramName(*name->transport)) : "any") +
                          (name->secure ? "|sips" : "");
  if (std::optional<LocateResult> hit = cached(key)) return *hit;
  LocateWalk walk(*this, stop);
  result = walk.run(*name);
  if (!result.targets.empty() && walk.complete()) store(key, result, walk.ttl());
  return result;
}

}  // namespace quillet::sip
