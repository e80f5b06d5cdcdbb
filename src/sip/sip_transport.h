// SPDX-License-Identifier: Apache-2.0
// SipTransport: the one owner of the SIP sockets. Its thread binds the UDP socket and the
// TCP and TLS listeners (whose connections its StreamPath drives), keeps the private and
// public addresses current, drives the registrations, sends NAT keep-alives, receives
// every message (and the ICMP errors for what it sent: their destinations are failed
// targets), answers retransmissions from the response cache and hands each message to the
// call, registration or engine it belongs to.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/worker_thread.h"
#include "net/public_address.h"
#include "platform/event.h"
#include "sip/dialog_notifier.h"
#include "sip/mailbox_subscription.h"
#include "sip/registration.h"
#include "sip/response_cache.h"
#include "sip/server_locator.h"
#include "sip/sip_call.h"
#include "sip/sip_ids.h"
#include "sip/sip_message.h"
#include "sip/sip_target.h"
#include "sip/sip_templates.h"
#include "sip/stream_path.h"
#include "sip/tls_context.h"

namespace quillet::sip {

class SipEngine;
class SipTrace;
class DialogReaper;

// Settings the transport reads (section "SIP").
struct TransportSettings {
  int32_t port = 5070;      // UDP and TCP
  int32_t tlsPort = 0;      // TLS; 0: no incoming TLS (the settings file's default is 5071)
  std::string tlsCertFile;  // the certificate incoming TLS shows; empty: the profile's own
  std::string tlsKeyFile;
  int32_t staticSipPort = 5070;
  bool stun = true;
  std::string stunServer1 = net::builtInStunServers()[0];
  std::string stunServer2 = net::builtInStunServers()[1];
  bool staticMapping = false;
  std::string staticPublicIp;
  bool upnp = false;
  bool http = false;
  std::string httpServer = net::NatSettings::kDefaultHttpServer;
  bool active = false;

  // The settings of the public address resolution.
  net::NatSettings nat() const;

  // From the process-wide settings store.
  static TransportSettings fromStore();
};

struct PublicAddress {
  std::string address;
  uint16_t port = 0;
  bool operator==(const PublicAddress&) const = default;
};

// The address, port and transport this side names in Via and Contact towards a target.
struct LocalContact {
  std::string address;
  uint16_t port = 0;
  TransportKind transport = TransportKind::Udp;
};

class SipTransport : public base::WorkerThread, private RegistrationHost, private NotifierHost {
 public:
  // Sources of the outside facts; tests and the test peer replace them.
  using SettingsSource = std::function<TransportSettings()>;
  using PrivateAddressSource = std::function<std::string()>;
  using PublicAddressResolver =
      std::function<PublicAddress(const std::string& privateAddress, uint16_t boundPort, int socket,
                                  const TransportSettings& settings, platform::Event* stop)>;

  static constexpr uint32_t kPublicRecheckMs = 600000;
  static constexpr uint32_t kStunKeepAliveMs = 48000;
  static constexpr int32_t kIdleWaitMs = 20000;
  static constexpr uint32_t kShutdownUnregisterMs = 2000;
  static constexpr uint32_t kFailedTargetMs = 300000;
  static constexpr size_t kMaxDatagram = 65535;
  // ICMP errors taken from the UDP socket in one pass, and how long a target found
  // unreachable again is not logged again.
  static constexpr size_t kMaxSocketErrors = 64;
  static constexpr uint32_t kUnreachableQuietMs = 10000;
  // A request larger than this goes over TCP rather than UDP (path MTU less headroom).
  static constexpr size_t kUdpRequestLimit = 1300;

  explicit SipTransport(SipTrace* trace = nullptr);
  ~SipTransport() override;

  void setSettingsSource(SettingsSource source);
  void setPrivateAddressSource(PrivateAddressSource source);
  void setPublicAddressResolver(PublicAddressResolver resolver);
  // The registrar or proxy ("host[:port]"): the private address is that of the interface
  // that routes to it (the default private address source).
  void setRouteTarget(std::string server);

  // Stops the thread (waiting without limit), forgets the public port and starts again.
  void restart();
  // Stops the thread (un-registering first, at most 2000 ms).
  void shutdown();
  // Forces a rebind on the next pass.
  void requestRebind();
  // Waits for the ready event (socket bound or binding given up for this pass).
  bool waitReady(int32_t timeoutMs);
  bool running() const { return running_; }

  // Sends one message (traced): a datagram, or on a connection to the target (opened when
  // none is). False when the socket is not bound or sending failed.
  bool send(const SipTarget& to, std::string_view text);
  // Builds a response to `request`, sends it to the request's source and caches it.
  void sendResponse(const SipMessage& request, const ResponseSpec& form);
  // Sends an ACK and caches it against the response it acknowledges.
  void sendAck(const SipMessage& response, const SipTarget& to, std::string text);
  // A NAT keep-alive with its trace line: 4 zero bytes over UDP, a CR LF CR LF ping on the
  // connection to a TCP or TLS server.
  void sendKeepAlive(const SipTarget& to, std::string_view serverName);
  // The TLS settings of connections to a server (by the name it is reached by); servers
  // not named use the system CA store with verification.
  void setTlsSettings(const std::string& serverName, const TlsSettings& settings);
  // Told (on a transport thread) when a server's certificate is refused, with one line for
  // the user, and with an empty text when a line has registered again.
  using ProblemHandler = std::function<void(const std::string& text)>;
  void setProblemHandler(ProblemHandler handler);

  // Resolves "host[:port]" (default port given; "[v6]:port" too) as a plain host name.
  // False when it fails.
  static bool resolve(std::string_view hostPort, uint16_t defaultPort,
                      platform::SocketAddress& out);
  // Finds a request's next hop URI by its NAPTR, SRV and address records; logs "Unable to
  // find address of server: HOST (REASON)" on failure. The transport is the URI's (sips:,
  // ;transport=), else `preferred` (the line's), else the records'. A target that failed
  // within the last minutes comes after the others.
  bool resolveNextHop(std::string_view destinationUri, SipTarget& out,
                      std::optional<TransportKind> preferred = std::nullopt);
  // A target that did not answer, could not be reached (an ICMP error for a datagram to
  // it), refused the connection or its certificate. A REGISTER waiting for its answer goes
  // to the domain's next server at once.
  void markFailed(const SipTarget& target);
  // Events set whenever a target is marked failed (a call waiting for its server's answer
  // looks at once rather than at its next resend).
  void addFailureWatch(platform::Event* event);
  void removeFailureWatch(platform::Event* event);
  // Replaces the server locator (tests: records from a table); before the thread starts.
  void setLocator(std::unique_ptr<ServerLocator> locator) { locator_ = std::move(locator); }
  // Whether the target was marked failed at or after the tick `sinceMs` (by anyone: a
  // connection to it that failed, a registration or a call).
  bool failedSince(const SipTarget& target, uint32_t sinceMs);

  // Via/Contact address for a destination: private address and bound port for a private
  // destination, the public ones otherwise; the TLS port for TLS.
  LocalContact localAddressFor(const SipTarget& destination) const;
  std::string privateAddress() const;
  uint16_t boundPort() const { return boundPort_; }
  uint16_t tlsPort() const { return streams_->tlsPort(); }
  StreamPath& streams() { return *streams_; }
  PublicAddress publicAddress() const;
  // An address this side was seen from by a peer (`how` names that peer, for the log
  // line): the public address until the resolver finds a new one.
  void learnPublicAddress(const PublicAddress& learnt, std::string_view how);

  // Calls. registerCall waits up to 10 s for the ready event first.
  void registerCall(SipCall* call);
  void unregisterCall(SipCall* call);
  // Takes the next message of a call within timeoutMs, or nothing as soon as one of the
  // `wake` events is set: cached retransmissions are answered and skipped, a repeated
  // INVITE of the dialog's Call-ID and first CSeq is dropped (482 when it came another way).
  std::optional<SipMessage> takeMessage(SipCall& call, int32_t timeoutMs,
                                        std::initializer_list<platform::Event*> wake = {});
  // Answers a message from the response cache when it matches. True when it matched.
  bool answerFromCache(const SipMessage& message);

  void addEngine(SipEngine* engine);
  void removeEngine(SipEngine* engine);
  void setDoNotDisturb(bool on) {
    doNotDisturb_ = on;
    lineStateChanged();
  }
  // A line's call state changed (any thread): the watchers hear of it on the next pass.
  void lineStateChanged() {
    lineChanged_ = true;
    wake_.set();
  }
  // This side as the notifier of its lines' dialog state.
  DialogNotifier& notifier() { return notifier_; }
  bool doNotDisturb() const { return doNotDisturb_; }

  void addRegistration(const RegistrationConfig& config);
  void removeRegistration(const RegistrationConfig& config);
  RegistrationList& registrations() { return registrations_; }
  // The voicemail boxes subscribed to, and who hears of their state (any thread).
  void addMailbox(const MailboxConfig& config);
  void removeMailbox(const MailboxConfig& config) { mailboxes_.remove(config); }
  void setMailboxHandler(MailboxList::SummaryHandler handler) {
    mailboxes_.setSummaryHandler(std::move(handler));
  }
  void setLampHandler(MailboxList::LampHandler handler) {
    mailboxes_.setLampHandler(std::move(handler));
  }
  MailboxList& mailboxes() { return mailboxes_; }

  std::string newCallId();
  std::string newTag() { return ids_.newTag(); }
  std::string newBranch() { return ids_.newBranch(); }

  ResponseCache& responseCache() { return cache_; }
  DialogReaper& reaper() { return *reaper_; }
  SipTrace* trace() const { return trace_; }

  // Handles a datagram as if it had been received from `from` (tests, fuzzing, benchmarks);
  // answers go out only while the socket is bound.
  void injectDatagram(std::string_view datagram, const platform::SocketAddress& from) {
    handleMessage(datagram, from, TransportKind::Udp, 0);
  }

  // Counters for tests and the robustness check.
  uint64_t datagramsReceived() const { return received_; }
  uint64_t datagramsDropped() const { return dropped_; }

 protected:
  void Run() override;

 private:
  // RegistrationHost
  std::string regPublicAddress() override { return publicAddress().address; }
  uint16_t regPublicPort() override { return publicAddress().port; }
  std::string regContactAddress(const SipTarget& to) override {
    return to.address.isIpv6() ? localAddressFor(to).address : regPublicAddress();
  }
  std::string regNewBranch() override { return newBranch(); }
  bool regResolve(const RegistrationConfig& config, SipTarget& out) override;
  uint16_t regLocalPort(TransportKind transport) override;
  void regRegistered() override;
  void regTargetFailed(const SipTarget& target) override { recordFailed(target); }
  void regSend(const SipTarget& to, std::string_view text) override { send(to, text); }
  void regSendKeepAlive(const SipTarget& to, std::string_view serverName) override {
    sendKeepAlive(to, serverName);
  }
  void regLearnPublicAddress(const std::string& address, uint16_t port) override {
    learnPublicAddress({address, port}, "the registrar's Via");
  }

  // NotifierHost
  void ntfLocal(const SipTarget& to, std::string& address, uint16_t& port) override {
    const LocalContact local = localAddressFor(to);
    address = local.address;
    port = local.port;
  }
  std::string ntfNewBranch() override { return newBranch(); }
  void ntfSend(const SipTarget& to, std::string_view text) override { send(to, text); }
  // The lines' calls as dialogs, told to the watchers when they changed.
  void publishLineState(uint32_t nowMs);
  void answerSubscribe(const SipMessage& request);

  std::string routedPrivateAddress();
  bool bindSocket(const TransportSettings& settings);
  platform::UniqueFd listenTls(int32_t port);
  void refreshPublicAddress(const TransportSettings& settings, uint32_t nowMs);
  void receiveAll(std::vector<char>& buffer);
  void receiveStreams();
  void handleMessage(std::string_view text, const platform::SocketAddress& from,
                     TransportKind transport, uint64_t connection);
  TlsSettings tlsSettingsFor(const std::string& serverName) const;
  bool locate(std::string_view uri, std::optional<TransportKind> lineTransport, SipTarget& out);
  bool failedLately(const ServerTarget& target);
  void recordFailed(const SipTarget& target);
  // Takes the UDP socket's queued ICMP errors: each unreachable destination is a failed
  // target (logged once in a while).
  void takeUnreachable(int fd);
  void connectionFailed(const SipTarget& target, const std::string& reason, bool tlsRefused,
                        std::vector<std::string> fallbacks);
  // Drops or refuses a malformed message (with a log line for a refusal); true: pass it on.
  bool admitted(const SipMessage& message);
  void dispatchRequest(const SipMessage& request);
  void answerOptions(const SipMessage& request);
  // The engines an INVITE or OPTIONS for the user is offered to (under the engine lock).
  std::vector<SipEngine*> answeringEngines(const std::string& user) const;
  void incomingInvite(const SipMessage& request);
  void unregisterAtShutdown(std::vector<char>& buffer);
  void unregisterWindow(std::vector<char>& buffer);
  bool stopRequested();

  SipTrace* trace_;
  SipIds ids_;
  std::unique_ptr<TlsContexts> tls_;
  std::unique_ptr<StreamPath> streams_;
  mutable std::mutex tlsLock_;
  std::vector<std::pair<std::string, TlsSettings>> tlsByServer_;
  std::unique_ptr<ServerLocator> locator_;
  std::mutex failedLock_;
  std::vector<std::pair<ServerTarget, uint32_t>> failed_;  // with the tick of the failure
  std::mutex watchLock_;
  std::vector<platform::Event*> failureWatches_;
  std::mutex problemLock_;
  ProblemHandler problemHandler_;
  ResponseCache cache_;
  RegistrationList registrations_;
  MailboxList mailboxes_;
  DialogNotifier notifier_;
  std::atomic<bool> lineChanged_{true};
  std::unique_ptr<DialogReaper> reaper_;

  SettingsSource settingsSource_;
  PrivateAddressSource privateSource_;
  PublicAddressResolver publicResolver_;

  std::atomic<int> socket_{-1};
  platform::Event ready_{platform::Event::Reset::Manual};
  platform::Event wake_{platform::Event::Reset::Auto};  // a registration is due at once
  std::atomic<bool> restartRequest_{false};
  std::atomic<bool> running_{false};
  std::atomic<bool> doNotDisturb_{false};
  std::atomic<uint16_t> boundPort_{0};

  std::mutex routeLock_;
  std::string routeTarget_;
  platform::SocketAddress routeAddress_;
  uint32_t routeResolvedAt_ = 0;
  bool routeResolved_ = false;

  mutable std::mutex addressLock_;
  std::string privateAddress_;
  PublicAddress public_;
  PublicAddress resolved_;  // the resolver's last answer (public_ may be a learnt one)

  std::mutex engineLock_;
  std::vector<SipEngine*> engines_;
  std::mutex callLock_;
  std::vector<SipCall*> calls_;

  std::atomic<uint64_t> received_{0};
  std::atomic<uint64_t> dropped_{0};
};

// The identity a cached answer is filed under (a received message's own identity).
MessageIdentity identityOf(const SipMessage& message);

}  // namespace quillet::sip
