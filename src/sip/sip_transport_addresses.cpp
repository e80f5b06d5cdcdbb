// SPDX-License-Identifier: Apache-2.0
// SipTransport: where messages go and where this side is — its private, public and per-family
// addresses, the location of servers by their records, and the servers that failed lately.
#include <algorithm>

#include "base/net_facts.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "sip/server_locator.h"
#include "sip/sip_engine.h"
#include "sip/sip_log.h"
#include "sip/sip_transport.h"
#include "sip/sip_uri.h"

namespace quillet::sip {

namespace {

// Two targets are the same server whichever record named them.
bool sameServer(const ServerTarget& a, const ServerTarget& b) {
  return a.transport == b.transport && a.address == b.address && a.port == b.port;
}

std::string lanAddressText() {
  const uint32_t address = base::lanAddress();
  return address == 0 ? std::string() : platform::ipv4ToString(address);
}

// Whether a numeric address text is of the family (a name or nothing counts as IPv4, the
// family every setting was before IPv6).
bool isOfFamily(const std::string& address, int family) {
  const std::optional<platform::SocketAddress> parsed = platform::SocketAddress::parse(address, 0);
  const int own = parsed ? parsed->family() : AF_INET;
  return family == AF_UNSPEC || own == family;
}

// This host's address towards a destination of a family the set addresses are not of.
std::string ownAddressTowards(const platform::SocketAddress& destination) {
  // A link-local address is never advertised: it means nothing off its own link.
  const platform::SocketAddress local = platform::localAddressTowards(destination);
  if (local.isUnspecified() || local.isLinkLocal()) {
    return destination.isIpv6() ? "::1" : lanAddressText();
  }
  return local.host();
}

int32_t since(uint32_t now, uint32_t then) {
  return static_cast<int32_t>(now - then);
}

}  // namespace

void SipTransport::setPrivateAddressSource(PrivateAddressSource source) {
  privateSource_ =
      source ? std::move(source) : PrivateAddressSource([this] { return routedPrivateAddress(); });
  std::lock_guard lock(addressLock_);
  privateAddress_ = privateSource_();
  if (public_.port == 0) public_.address = privateAddress_;
}

void SipTransport::setRouteTarget(std::string server) {
  std::lock_guard lock(routeLock_);
  if (server == routeTarget_) return;
  routeTarget_ = std::move(server);
  routeResolved_ = false;
}

std::string SipTransport::routedPrivateAddress() {
  platform::SocketAddress target;
  {
    // The name is looked up again at most once a minute: this runs on every pass.
    std::lock_guard lock(routeLock_);
    const uint32_t now = platform::tickMs();
    if (!routeTarget_.empty() && (!routeResolved_ || now - routeResolvedAt_ >= 60000)) {
      platform::SocketAddress to;
      routeAddress_ = resolve(routeTarget_, 5060, to) ? to : platform::SocketAddress();
      routeResolvedAt_ = now;
      routeResolved_ = true;
    }
    if (!routeTarget_.empty()) target = routeAddress_;
  }
  const platform::SocketAddress routed = platform::localAddressTowards(target);
  return !routed.isUnspecified() && !routed.isLinkLocal() ? routed.host() : lanAddressText();
}

std::string SipTransport::privateAddress() const {
  std::lock_guard lock(addressLock_);
  return privateAddress_;
}

PublicAddress SipTransport::publicAddress() const {
  std::lock_guard lock(addressLock_);
  return public_;
}

void SipTransport::learnPublicAddress(const PublicAddress& learnt, std::string_view how) {
  {
    std::lock_guard lock(addressLock_);
    if (learnt == public_) return;
    public_ = learnt;
  }
  sipLogInfo("SIP Public IP is: " + learnt.address + ":" + std::to_string(learnt.port) + " (from " +
             std::string(how) + ")");
}

LocalContact SipTransport::localAddressFor(const SipTarget& destination) const {
  LocalContact local;
  local.transport = destination.transport;
  const int family = destination.address.family();
  std::lock_guard lock(addressLock_);
  const bool privateOfFamily = isOfFamily(privateAddress_, family);
  // IPv6 has no NAT: this side is its own address there, as it is on a private network.
  const bool privateDestination =
      destination.address.isIpv6() ||
      (destination.address.isIpv4() && base::isPrivateAddress(destination.address.ipv4Address()));
  if (privateDestination) {
    local.address = privateOfFamily ? privateAddress_ : ownAddressTowards(destination.address);
  } else {
    local.address = isOfFamily(public_.address, family) ? public_.address
                                                        : ownAddressTowards(destination.address);
  }
  local.address = platform::bracketedHost(local.address);
  switch (destination.transport) {
    case TransportKind::Udp:
      local.port = privateDestination || !isOfFamily(public_.address, family) ? boundPort_.load()
                                                                              : public_.port;
      break;
    case TransportKind::Tcp:
      local.port = boundPort_.load();
      break;
    case TransportKind::Tls:
      local.port = streams_->tlsPort();
      break;
  }
  return local;
}

bool SipTransport::resolve(std::string_view hostPort, uint16_t defaultPort,
                           platform::SocketAddress& out) {
  const HostPort hp = splitHostPort(hostPort, defaultPort);
  out = {};
  if (hp.host.empty()) return false;
  // A name's IPv4 address where it has one, as before IPv6; else its first.
  const std::vector<platform::SocketAddress> found =
      platform::lookupHost(std::string(platform::withoutBrackets(hp.host)), hp.port);
  for (const platform::SocketAddress& address : found) {
    if (address.isIpv4()) {
      out = address;
      return true;
    }
  }
  if (found.empty()) return false;
  out = found.front();
  return true;
}

bool SipTransport::locate(std::string_view uri, std::optional<TransportKind> lineTransport,
                          SipTarget& out) {
  // The URI's own transport (sips:, ;transport=) wins; the line's applies where it names none.
  const std::optional<TransportKind> named = uriTransport(serverUri(uri));
  const std::optional<TransportKind> forced = named ? std::nullopt : lineTransport;
  std::string error;
  const std::optional<ServerName> name = readServerName(uri, forced, error);
  const LocateResult found = name ? locator_->locate(uri, forced, nullptr) : LocateResult{};
  if (!name) {
    sipLogError(unableToFindText(uri, error));
    return false;
  }
  // Reachable targets in the located order (an IPv6 one needs a route), those that failed
  // lately last.
  const ServerTarget* chosen = nullptr;
  for (const ServerTarget& target : found.targets) {
    const std::optional<platform::SocketAddress> address =
        platform::SocketAddress::parse(target.address, target.port);
    if (!address || (address->isIpv6() && platform::localAddressTowards(*address).isUnspecified()))
      continue;
    if (chosen == nullptr || (failedLately(*chosen) && !failedLately(target))) chosen = &target;
    if (!failedLately(*chosen)) break;
  }
  out = SipTarget{};
  out.transportNamed = named.has_value() || lineTransport.has_value();
  if (chosen != nullptr) {
    out.transport = chosen->transport;
    out.address = *platform::SocketAddress::parse(chosen->address, chosen->port);
  } else if (!name->numeric) {
    // Names DNS does not know may still be the system's (hosts file, mDNS).
    out.transport = name->transport.value_or(TransportKind::Udp);
    resolve(name->host, name->port.value_or(defaultPort(out.transport)), out.address);
  }
  if (!out.address.valid()) {
    sipLogError(
        unableToFindText(name->host, found.targets.empty() ? found.error : "no usable address"));
    return false;
  }
  // What TLS checks the certificate against (the domain, not the host a record named), and
  // what the line's TLS settings are kept by.
  out.serverName = name->host;
  return true;
}

bool SipTransport::failedLately(const ServerTarget& target) {
  std::lock_guard lock(failedLock_);
  const uint32_t now = platform::tickMs();
  for (const auto& [failed, at] : failed_) {
    if (sameServer(failed, target) && now - at < kFailedTargetMs) return true;
  }
  return false;
}

void SipTransport::markFailed(const SipTarget& target) {
  recordFailed(target);
  if (registrations_.targetFailed(target)) wake_.set();
  std::lock_guard lock(watchLock_);
  for (platform::Event* event : failureWatches_) event->set();
}

void SipTransport::addFailureWatch(platform::Event* event) {
  std::lock_guard lock(watchLock_);
  failureWatches_.push_back(event);
}

void SipTransport::removeFailureWatch(platform::Event* event) {
  std::lock_guard lock(watchLock_);
  std::erase(failureWatches_, event);
}

void SipTransport::recordFailed(const SipTarget& target) {
  ServerTarget failed;
  failed.transport = target.transport;
  failed.address = target.address.host();
  failed.port = target.address.port();
  std::lock_guard lock(failedLock_);
  std::erase_if(failed_, [&](const auto& entry) { return sameServer(entry.first, failed); });
  if (failed_.size() >= 64) failed_.erase(failed_.begin());
  failed_.emplace_back(failed, platform::tickMs());
}

bool SipTransport::failedSince(const SipTarget& target, uint32_t sinceMs) {
  std::lock_guard lock(failedLock_);
  return std::any_of(failed_.begin(), failed_.end(), [&](const auto& entry) {
    const ServerTarget& failed = entry.first;
    return failed.transport == target.transport && failed.port == target.address.port() &&
           failed.address == target.address.host() && since(entry.second, sinceMs) >= 0;
  });
}

bool SipTransport::resolveNextHop(std::string_view destinationUri, SipTarget& out,
                                  std::optional<TransportKind> preferred) {
  return locate(destinationUri, preferred, out);
}

bool SipTransport::regResolve(const RegistrationConfig& config, SipTarget& out) {
  return locate(config.outboundServer, config.transport, out);
}

void SipTransport::refreshPublicAddress(const TransportSettings& settings, uint32_t) {
  const PublicAddress found =
      publicResolver_(privateAddress(), boundPort_.load(), socket_.load(), settings, &stopEvent());
  {
    std::lock_guard lock(addressLock_);
    if (found == resolved_) return;  // a learnt address stays until the network changes
    resolved_ = found;
    if (found == public_) return;
    public_ = found;
  }
  sipLogInfo("SIP Public IP is: " + found.address + ":" + std::to_string(found.port));
  std::vector<std::string> users;
  {
    std::lock_guard lock(engineLock_);
    for (SipEngine* engine : engines_) {
      const std::string& user = engine->line().userName;
      if (std::find(users.begin(), users.end(), user) == users.end()) users.push_back(user);
    }
  }
  for (const std::string& user : users) {
    sipLogInfo("SIP Number: " + user + "@" + found.address + ":" + std::to_string(found.port));
  }
  registrations_.makeAllDue(platform::tickMs());
}

}  // namespace quillet::sip
