// SPDX-License-Identifier: Apache-2.0
// Registration: one REGISTER binding per distinct line configuration, and the list the
// SIP transport thread drives (first registration, refresh, resend while unanswered,
// back-off after failures, digest authentication, un-registration).
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sip/sip_message.h"
#include "sip/sip_target.h"
#include "sip/tls_context.h"

namespace quillet::sip {

struct RegistrationConfig {
  std::string server;           // domain; the request URI is "sip:" + server
  std::string outboundServer;   // where REGISTER goes (may end in ":PORT")
  std::string addressOfRecord;  // "sip:user@server"
  std::string user;             // Contact user
  std::string authUser;
  std::string password;
  int32_t q = 90;                          // 0..99
  std::optional<TransportKind> transport;  // the line's; nothing: by the server's URI
  TlsSettings tls;

  bool sameAs(const RegistrationConfig& other) const {
    // The texts and the way there decide; q is not part of a configuration's identity.
    return server == other.server && outboundServer == other.outboundServer &&
           addressOfRecord == other.addressOfRecord && user == other.user &&
           authUser == other.authUser && password == other.password &&
           transport == other.transport && tls == other.tls;
  }
};

// The challenge of a 401 (WWW-Authenticate) or 407 (Proxy-Authenticate) to answer.
std::string challengeOf(const SipMessage& response);

// The q-value of a line priority fraction (0.9 -> 90), truncated and clamped to 0..99.
int32_t qFromPriority(double fraction);

struct Registration {
  RegistrationConfig config;
  std::string callId;
  std::string tag;
  uint32_t cseq = 1;  // the first REGISTER carries 2
  uint32_t lastSendMs = 0;
  uint32_t dueMs = 0;
  bool registered = false;
  bool firstAttemptMade = false;
  bool keepAlive = false;
  std::string credentials;  // the credentials of the last REGISTER sent
  std::string challenge;    // what they answer: each REGISTER computes them afresh (qop's nc)
  bool credentialsPresent = false;
  bool authorizationHeader = true;  // 401 -> "Authorization", 407 -> "Proxy-Authorization"
  bool authorizationAttempted = false;
  std::string contactAddress;  // the address and port of the last REGISTER's Via and Contact
  uint16_t contactPort = 0;
  bool overUdp = true;        // the last REGISTER went over UDP: only then is an address learnt
  bool reRegistered = false;  // sent again with a learnt address since the last due REGISTER
  SipTarget lastTarget;       // where the last REGISTER went
  bool unanswered = false;    // it has had no answer yet
  bool failedOver = false;    // a 503 sent the binding to the next server once already
  int32_t expires = 3600;     // asked for; raised by a registrar's 423 Min-Expires
  // Its server failed (could not be reached) while the REGISTER waited: the next one goes
  // now, not after the resend time; a few times in a row at most.
  bool resendNow = false;
  int promptResends = 0;
  int refCount = 1;

  // Without a server (empty address of record or one ending in "@") nothing is sent.
  bool hasServer() const;
};

// What the registrations need from the transport.
class RegistrationHost {
 public:
  virtual ~RegistrationHost() = default;
  virtual std::string regPublicAddress() = 0;
  virtual uint16_t regPublicPort() = 0;
  // The address the Via and Contact of a REGISTER to `to` name: the public one, but over
  // IPv6 (no NAT there) the host's own, in brackets.
  virtual std::string regContactAddress(const SipTarget& /*to*/) { return regPublicAddress(); }
  virtual std::string regNewBranch() = 0;
  // Where the configuration's REGISTER goes (its outbound server, by its transport); false,
  // with the reason logged, when it does not resolve.
  virtual bool regResolve(const RegistrationConfig& config, SipTarget& out) = 0;
  // The port this side listens at for a connection-oriented transport.
  virtual uint16_t regLocalPort(TransportKind transport) = 0;
  virtual void regSend(const SipTarget& to, std::string_view text) = 0;
  // A binding was accepted by its server.
  virtual void regRegistered() {}
  // A server did not answer a REGISTER before it was sent again, or answered 503: the next
  // one goes to another of the domain's servers where there is one.
  virtual void regTargetFailed(const SipTarget& /*target*/) {}
  // A keep-alive to the server, with the trace line naming it.
  virtual void regSendKeepAlive(const SipTarget& to, std::string_view serverName) = 0;
  // The registrar saw this side's requests come from this public address and port (its
  // Via received/rport): from now on it is the public address.
  virtual void regLearnPublicAddress(const std::string& address, uint16_t port) = 0;
};

class RegistrationList {
 public:
  static constexpr uint32_t kResendMs = 7000;
  static constexpr uint32_t kNoAnswerLimitMs = 40000;
  static constexpr uint32_t kRetryMs = 300000;
  static constexpr uint32_t kFailureRetryMs = 600000;
  static constexpr uint32_t kKeepAliveMs = 49000;
  static constexpr uint32_t kRefreshEarlyMs = 10000;
  static constexpr int32_t kMinExpirySeconds = 20;
  static constexpr int32_t kMaxExpirySeconds = 86400;  // the most a 423 may ask for
  // REGISTERs sent at once, one after the other, to servers found failed (the domain's
  // next ones), before the resend time applies again.
  static constexpr int kMaxPromptResends = 3;

  explicit RegistrationList(RegistrationHost& host) : host_(host) {}

  // Application thread. Same configuration: one more reference; otherwise a new binding
  // that is due now.
  void add(const RegistrationConfig& config, std::string callId, std::string tag, uint32_t nowMs);
  // The last reference: a registered binding is un-registered (expires 0) and deleted.
  void remove(const RegistrationConfig& config);

  // Transport thread, each pass. keepAlivesAllowed is cleared for good by a binding
  // without a server. `stopRequested` is polled between bindings.
  template <typename StopFn>
  void drive(uint32_t nowMs, bool& keepAlivesAllowed, StopFn stopRequested) {
    std::lock_guard lock(mutex_);
    for (auto& registration : list_) {
      driveOne(*registration, nowMs, keepAlivesAllowed);
      if (stopRequested()) return;
    }
  }
  // Shortens `waitMs` so that the next due send or keep-alive is not missed.
  void adjustWait(uint32_t nowMs, bool keepAlivesAllowed, int32_t& waitMs) const;
  // A response whose Call-ID is a binding's. False when no binding has that Call-ID.
  bool onResponse(const SipMessage& response, uint32_t nowMs);
  // Every binding is due now (the public address changed).
  void makeAllDue(uint32_t nowMs);
  // The target failed (by anyone's finding): a binding whose REGISTER to it waits for an
  // answer sends the next one now, to the domain's next server. True when one will.
  bool targetFailed(const SipTarget& target);
  // Sends expires 0 for every registered binding with a server. Answers the number sent.
  int unregisterAll();
  // Whether a registered binding with a server remains waiting for its un-REGISTER answer.
  bool unregisterPending() const;
  // The shut-down window is over: answers that come later are ordinary ones again, and
  // every binding is due at once for the next start of the transport.
  void endUnregister(uint32_t nowMs);

  bool hasCallId(std::string_view callId) const;
  // Snapshot for tests and status.
  std::vector<Registration> snapshot() const;

 private:
  void driveOne(Registration& registration, uint32_t nowMs, bool& keepAlivesAllowed);
  void sendRegister(Registration& registration, int32_t expires);
  // Takes the address a final response reports in its top Via. True when it differs from
  // the one the REGISTER carried (the host has learnt it).
  bool learnAddress(Registration& registration, const SipMessage& response);
  // A 423's Min-Expires above what was asked: the registration asks for that from now on.
  bool raiseExpiry(Registration& registration, const SipMessage& response);

  RegistrationHost& host_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Registration>> list_;
  std::vector<std::string> unregistering_;  // Call-IDs of un-REGISTERs not answered yet
};

}  // namespace quillet::sip
