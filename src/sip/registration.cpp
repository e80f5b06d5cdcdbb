// SPDX-License-Identifier: Apache-2.0
// Registration: the REGISTER bindings the transport thread drives.
#include "sip/registration.h"

#include <algorithm>
#include <cmath>

#include "base/net_facts.h"
#include "platform/socket.h"
#include "sip/digest.h"
#include "sip/sip_log.h"
#include "sip/sip_templates.h"
#include "sip/sip_uri.h"
#include "sip/sip_via.h"

namespace quillet::sip {

namespace {

int32_t ticksUntil(uint32_t later, uint32_t now) {
  return static_cast<int32_t>(later - now);
}

std::string numbered(const char* format, std::string_view a) {
  std::string out;
  std::string_view f(format);
  const size_t at = f.find("%s");
  out.append(f.substr(0, at));
  out.append(a);
  out.append(f.substr(at + 2));
  return out;
}

}  // namespace

std::string challengeOf(const SipMessage& response) {
  return strongestChallenge(response.headerValues(
      response.status == 401 ? hdr::kWwwAuthenticate : hdr::kProxyAuthenticate));
}

int32_t qFromPriority(double fraction) {
  if (!(fraction > 0)) return 0;  // also NaN
  const double scaled = std::floor(fraction * 100.0 + 1e-9);
  return static_cast<int32_t>(std::clamp(scaled, 0.0, 99.0));
}

bool Registration::hasServer() const {
  const auto& aor = config.addressOfRecord;
  return !aor.empty() && aor.back() != '@';
}

void RegistrationList::add(const RegistrationConfig& config, std::string callId, std::string tag,
                           uint32_t nowMs) {
  std::lock_guard lock(mutex_);
  for (auto& registration : list_) {
    if (registration->config.sameAs(config)) {
      ++registration->refCount;
      return;
    }
  }
  auto registration = std::make_unique<Registration>();
  registration->config = config;
  registration->config.q = std::clamp(config.q, 0, 99);
  registration->callId = std::move(callId);
  registration->tag = std::move(tag);
  registration->lastSendMs = nowMs - 3601000u;
  registration->dueMs = nowMs;
  list_.push_back(std::move(registration));
}

void RegistrationList::remove(const RegistrationConfig& config) {
  std::lock_guard lock(mutex_);
  for (auto it = list_.begin(); it != list_.end(); ++it) {
    Registration& registration = **it;
    if (!registration.config.sameAs(config)) continue;
    if (registration.refCount < 2) {
      if (registration.registered && registration.hasServer()) sendRegister(registration, 0);
      list_.erase(it);
    } else {
      --registration.refCount;
    }
    return;
  }
}

void RegistrationList::sendRegister(Registration& registration, int32_t expires) {
  const RegistrationConfig& c = registration.config;
  if (registration.unanswered) host_.regTargetFailed(registration.lastTarget);
  SipTarget to;
  if (!host_.regResolve(c, to)) return;  // the host logged why
  registration.lastTarget = to;
  registration.unanswered = true;
  const std::string publicAddress = host_.regContactAddress(to);
  const std::string branch = host_.regNewBranch();
  RegisterSpec form;
  form.server = c.server;
  form.viaAddress = publicAddress;
  // A connection's far end sees the listening port; only UDP over IPv4 has a mapped public
  // port.
  form.viaPort = to.transport == TransportKind::Udp && !to.address.isIpv6()
                     ? host_.regPublicPort()
                     : host_.regLocalPort(to.transport);
  form.transport = to.transport;
  registration.contactAddress = publicAddress;
  registration.contactPort = form.viaPort;
  registration.overUdp = to.transport == TransportKind::Udp;
  form.branch = branch;
  form.addressOfRecord = c.addressOfRecord;
  form.tag = registration.tag;
  form.callId = registration.callId;
  form.cseq = ++registration.cseq;
  form.contactUser = c.user;
  form.expires = expires;
  form.q = c.q;
  if (registration.credentialsPresent) {
    registration.credentials =
        computeDigest(registration.challenge, "REGISTER", "sip:" + c.server, c.authUser, c.password)
            .credentials;
    form.credentials = registration.credentials;
    form.authorizationHeader = registration.authorizationHeader;
  }
  host_.regSend(to, buildRegister(form));
}

void RegistrationList::driveOne(Registration& r, uint32_t nowMs, bool& keepAlivesAllowed) {
  if ((ticksUntil(nowMs, r.dueMs) >= 0 && nowMs - r.lastSendMs >= kResendMs) || r.resendNow) {
    if (!r.resendNow) r.promptResends = 0;
    r.resendNow = false;
    r.authorizationAttempted = false;
    r.reRegistered = false;
    if (!r.firstAttemptMade) {
      r.firstAttemptMade = true;
      if (r.hasServer()) sipLogInfo("Attempting to register " + r.config.addressOfRecord);
    }
    if (r.hasServer()) {
      sendRegister(r, r.expires);
    } else {
      r.registered = true;
      r.dueMs = nowMs + kRetryMs;
      keepAlivesAllowed = false;
    }
    r.keepAlive = true;
    r.lastSendMs = nowMs;
    if (ticksUntil(nowMs, r.dueMs) >= static_cast<int32_t>(kNoAnswerLimitMs)) {
      sipLogError("Server " + r.config.outboundServer + " did not respond to register (user " +
                  r.config.addressOfRecord + ")");
      sipLogError("Check server details for that line");
      r.dueMs = nowMs + kRetryMs;
      r.keepAlive = false;
      r.registered = false;
    }
    return;
  }
  if (keepAlivesAllowed && nowMs - r.lastSendMs > kKeepAliveMs) {
    if (r.keepAlive && r.hasServer()) {
      SipTarget to;
      if (host_.regResolve(r.config, to)) {
        host_.regSendKeepAlive(to, r.config.outboundServer);
      }
    }
    r.lastSendMs = nowMs;
  }
}

void RegistrationList::adjustWait(uint32_t nowMs, bool keepAlivesAllowed, int32_t& waitMs) const {
  std::lock_guard lock(mutex_);
  for (const auto& r : list_) {
    if (r->resendNow) waitMs = 0;
    const int32_t untilDue = ticksUntil(r->dueMs, nowMs);
    const int32_t untilResend = ticksUntil(r->lastSendMs, nowMs) + static_cast<int32_t>(kResendMs);
    if (untilDue < waitMs) waitMs = std::min(waitMs, std::max(untilDue, untilResend));
    if (keepAlivesAllowed) {
      waitMs = std::min(waitMs, ticksUntil(r->lastSendMs, nowMs) + 51000);
    }
  }
}

bool RegistrationList::hasCallId(std::string_view callId) const {
  std::lock_guard lock(mutex_);
  for (const auto& r : list_) {
    if (r->callId == callId) return true;
  }
  return false;
}

bool RegistrationList::onResponse(const SipMessage& response, uint32_t nowMs) {
  std::lock_guard lock(mutex_);
  const std::string callId = response.header(hdr::kCallId);
  Registration* found = nullptr;
  for (auto& r : list_) {
    if (r->callId == callId) {
      found = r.get();
      break;
    }
  }
  if (!found) return false;
  Registration& r = *found;
  const int32_t status = response.status;
  r.unanswered = false;
  r.resendNow = false;  // the server answered after all

  // Answers to the un-REGISTERs sent at shutdown.
  auto pending = std::find(unregistering_.begin(), unregistering_.end(), callId);
  if (pending != unregistering_.end()) {
    if ((status == 401 || status == 407) && !r.config.password.empty() &&
        !r.authorizationAttempted) {
      const std::string challenge = challengeOf(response);
      if (answerable(challenge)) {
        r.challenge = challenge;
        r.credentialsPresent = true;
        r.authorizationHeader = status == 401;
        r.authorizationAttempted = true;
        sendRegister(r, 0);
        return true;
      }
    }
    if (status >= 200) {
      unregistering_.erase(pending);
      r.registered = false;
    }
    return true;
  }

  const bool addressLearnt = status >= 200 && learnAddress(r, response);
  if (status >= 200 && status <= 299) {
    int32_t expiry = decimalValue(response.header(hdr::kExpires, "0"));
    if (expiry <= 0) expiry = 3600;
    int32_t largest = 0;
    for (const std::string& contact : response.headerElements(hdr::kContact)) {
      const NameAddr nameAddr = parseNameAddr(contact);
      const int32_t value = decimalValue(paramValue(nameAddr.params, "expires"));
      if (value <= 0) continue;
      const SipUri uri = parseUri(nameAddr.uri);
      if (uri.host == r.contactAddress && uri.port == r.contactPort) {
        expiry = std::min(expiry, value);
      }
      largest = std::max(largest, value);
    }
    if (largest > 0) expiry = std::min(expiry, largest);
    expiry = std::max(expiry, kMinExpirySeconds);
    r.dueMs = nowMs + static_cast<uint32_t>(expiry) * 1000u - kRefreshEarlyMs;
    r.keepAlive = expiry > 60;
    r.failedOver = false;
    if (!r.registered) {
      r.registered = true;
      sipLogInfo("Registered as: " + r.config.addressOfRecord);
      host_.regRegistered();
    }
    // The binding names an address the registrar cannot reach: once more with the one it
    // saw. Only once until the next due REGISTER, so that a registrar reporting another
    // address each time cannot keep this going.
    if (addressLearnt && !r.reRegistered) {
      r.reRegistered = true;
      sendRegister(r, r.expires);
      r.lastSendMs = nowMs;
    }
    return true;
  }
  const std::string statusLine = std::to_string(status) + " " + response.reason;
  if (status == 401 || status == 407) {
    if (r.config.password.empty()) {
      sipLogError("Register authorization failed for " + r.config.addressOfRecord);
      sipLogError("Error returned : " + statusLine);
      sipLogError("Enter a password for this proxy server.");
      r.registered = false;
      return true;
    }
    const std::string challenge = challengeOf(response);
    if (r.authorizationAttempted && !staleChallenge(challenge)) {
      sipLogError("Register authorization failed for " + r.config.addressOfRecord);
      sipLogError("Error returned : " + statusLine);
      sipLogError("Check username or password for the proxy server.");
      r.dueMs = nowMs + kFailureRetryMs;
      r.keepAlive = false;
      r.registered = false;
      return true;
    }
    r.challenge = challenge;
    r.credentialsPresent = answerable(challenge);
    r.authorizationHeader = status == 401;
    sendRegister(r, r.expires);
    r.lastSendMs = nowMs;
    r.authorizationAttempted = true;
    return true;
  }
  if (status >= 100 && status <= 199) {
    r.lastSendMs = nowMs;
    return true;
  }
  if (status == 423 && raiseExpiry(r, response)) {
    sendRegister(r, r.expires);
    r.lastSendMs = nowMs;
    return true;
  }
  sipLogError(numbered("Register attempt for proxy %s failed", r.config.addressOfRecord));
  sipLogError(statusLine);
  r.registered = false;
  r.dueMs = nowMs + kFailureRetryMs;
  r.keepAlive = false;
  if (status == 503) {
    // Unavailable: the domain's next server, soon; only once before the usual wait.
    host_.regTargetFailed(r.lastTarget);
    if (!r.failedOver) r.dueMs = nowMs;
    r.failedOver = true;
  }
  return true;
}

bool RegistrationList::raiseExpiry(Registration& r, const SipMessage& response) {
  const int32_t least = decimalValue(response.header(hdr::kMinExpires));
  // Only upwards, and within a day: a registrar cannot keep this going or ask for a binding
  // nobody would refresh.
  if (least <= r.expires || least > kMaxExpirySeconds) return false;
  sipLogInfo("The registrar asks for at least " + std::to_string(least) +
             " s: registering again for that long");
  r.expires = least;
  return true;
}

bool RegistrationList::learnAddress(Registration& r, const SipMessage& response) {
  const std::optional<ReportedAddress> reported = reportedAddress(response);
  // Over a connection the registrar reports the connection's own port: nothing to learn.
  if (!reported || !r.overUdp) return false;
  if (reported->address == r.contactAddress && reported->port == r.contactPort) return false;
  // A private address is what a registrar on this side of the NAT sees: of no use to
  // parties outside.
  uint32_t address = 0;
  if (!platform::parseDottedQuad(reported->address, address) || base::isPrivateAddress(address))
    return false;
  if (reported->address != host_.regPublicAddress() || reported->port != host_.regPublicPort()) {
    host_.regLearnPublicAddress(reported->address, reported->port);
  }
  return true;
}

void RegistrationList::makeAllDue(uint32_t nowMs) {
  std::lock_guard lock(mutex_);
  for (auto& r : list_) r->dueMs = nowMs;
}

bool RegistrationList::targetFailed(const SipTarget& target) {
  std::lock_guard lock(mutex_);
  bool any = false;
  for (auto& r : list_) {
    const SipTarget& last = r->lastTarget;
    if (!r->unanswered || last.transport != target.transport || !(last.address == target.address))
      continue;
    if (r->resendNow || r->promptResends >= kMaxPromptResends) continue;
    r->resendNow = true;
    ++r->promptResends;
    any = true;
  }
  return any;
}

int RegistrationList::unregisterAll() {
  std::lock_guard lock(mutex_);
  int sent = 0;
  for (auto& r : list_) {
    if (!r->hasServer() || !r->registered) continue;
    r->authorizationAttempted = false;
    sendRegister(*r, 0);
    unregistering_.push_back(r->callId);
    ++sent;
  }
  return sent;
}

void RegistrationList::endUnregister(uint32_t nowMs) {
  std::lock_guard lock(mutex_);
  unregistering_.clear();
  for (auto& r : list_) {
    r->registered = false;
    r->authorizationAttempted = false;
    r->resendNow = false;
    r->promptResends = 0;
    r->dueMs = nowMs;
    r->lastSendMs = nowMs - 3601000u;
  }
}

bool RegistrationList::unregisterPending() const {
  std::lock_guard lock(mutex_);
  return !unregistering_.empty();
}

std::vector<Registration> RegistrationList::snapshot() const {
  std::lock_guard lock(mutex_);
  std::vector<Registration> out;
  for (const auto& r : list_) out.push_back(*r);
  return out;
}

}  // namespace quillet::sip
