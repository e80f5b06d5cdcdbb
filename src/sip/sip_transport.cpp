// SPDX-License-Identifier: Apache-2.0
// SipTransport: the SIP sockets, their thread, the addresses and sending.
#include "sip/sip_transport.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/settings_store.h"
#include "net/public_address.h"
#include "platform/paths.h"
#include "platform/socket.h"
#include "platform/socket_errors.h"
#include "platform/tick.h"
#include "sip/auto_answer.h"
#include "sip/dialog_reaper.h"
#include "sip/message_check.h"
#include "sip/server_locator.h"
#include "sip/sip_engine.h"
#include "sip/sip_log.h"
#include "sip/sip_trace.h"
#include "sip/sip_uri.h"

namespace quillet::sip {

namespace {

int32_t since(uint32_t now, uint32_t then) {
  return static_cast<int32_t>(now - then);
}

// The resolution of the SIP socket's public address through the network layer.
PublicAddress defaultPublicAddress(const std::string& privateAddress, uint16_t boundPort,
                                   int socket, const TransportSettings& settings,
                                   platform::Event* stop) {
  net::NatResolver resolver(settings.nat());
  net::PublicAddressRequest request;
  request.privateAddress = privateAddress;
  request.privatePort = boundPort;
  request.socket = socket;
  request.portStep = 1;
  request.staticPortBase = static_cast<uint16_t>(settings.staticSipPort);
  request.portBase = static_cast<uint16_t>(settings.port);
  request.stop = stop;
  const net::PublicAddress found = resolver.resolve(request);
  if (resolver.clearedActive()) base::SettingsStore::global().writeBool("SIP", "Active", false);
  return PublicAddress{found.address, found.port};
}

}  // namespace

TransportSettings TransportSettings::fromStore() {
  auto& store = base::SettingsStore::global();
  TransportSettings s;
  s.port = store.readInt("SIP", "Port", 5070);
  s.tlsPort = store.readInt("SIP", "TLSPort", 5071);
  s.tlsCertFile = store.readText("SIP", "TLSCertFile", "");
  s.tlsKeyFile = store.readText("SIP", "TLSKeyFile", "");
  s.staticSipPort = store.readInt("SIP", "STATICSIPPort", 5070);
  s.stun = store.readBool("SIP", "STUN", true);
  s.stunServer1 = store.readText("SIP", "STUNServer1", s.stunServer1);
  s.stunServer2 = store.readText("SIP", "STUNServer2", s.stunServer2);
  s.staticMapping = store.readBool("SIP", "STATIC", false);
  s.staticPublicIp = store.readText("SIP", "STATICPublicIP", "");
  const net::NatSettings nat = net::NatSettings::load(store);
  s.upnp = nat.upnp;
  s.http = nat.http;
  s.httpServer = nat.httpServer;
  s.active = nat.active;
  if (s.port <= 0 || s.port > 65534) s.port = 5070;
  if (s.tlsPort < 0 || s.tlsPort > 65534) s.tlsPort = 5071;
  return s;
}

net::NatSettings TransportSettings::nat() const {
  net::NatSettings n;
  n.staticMapping = staticMapping;
  n.staticPublicIp = staticPublicIp;
  n.stun = stun;
  n.stunServers = {stunServer1, stunServer2};
  n.upnp = upnp;
  n.http = http;
  n.httpServer = httpServer;
  n.active = active;
  return n;
}

namespace {

// The TLS contexts of this profile: its data folder, and the certificate settings read once.
std::unique_ptr<TlsContexts> profileTlsContexts() {
  const TransportSettings settings = TransportSettings::fromStore();
  return std::make_unique<TlsContexts>(platform::profilePaths().dataDir, settings.tlsCertFile,
                                       settings.tlsKeyFile);
}

}  // namespace

MessageIdentity identityOf(const SipMessage& message) {
  MessageIdentity id;
  id.isRequest = message.isRequest();
  id.status = message.status;
  id.callId = message.header(hdr::kCallId);
  id.cseq = message.header(hdr::kCSeq);
  id.topVia = topVia(message);
  id.to = message.header(hdr::kTo);
  id.from = message.header(hdr::kFrom);
  return id;
}

SipTransport::SipTransport(SipTrace* trace)
    : trace_(trace),
      ids_(SipIds::forThisProcess(platform::tickMs())),
      tls_(profileTlsContexts()),
      streams_(std::make_unique<StreamPath>(*tls_)),
      locator_(std::make_unique<ServerLocator>()),
      registrations_(*this),
      mailboxes_(*this),
      notifier_(*this),
      reaper_(std::make_unique<DialogReaper>(*this)),
      settingsSource_(&TransportSettings::fromStore),
      privateSource_([this] { return routedPrivateAddress(); }),
      publicResolver_(&defaultPublicAddress) {
  streams_->setFailureHandler([this](const SipTarget& target, const std::string& reason,
                                     bool tlsRefused, std::vector<std::string> fallbacks) {
    connectionFailed(target, reason, tlsRefused, std::move(fallbacks));
  });
  // Until the thread has run, both addresses are the current local address.
  privateAddress_ = privateSource_();
  public_.address = privateAddress_;
}

SipTransport::~SipTransport() {
  Stop();
  streams_->Stop();
  // The reaper unregisters its dialogs as it goes: delete it while the call list exists.
  reaper_->Stop();
  reaper_.reset();
  const int fd = socket_.exchange(-1);
  if (fd >= 0) platform::UniqueFd closer(fd);
}

void SipTransport::setSettingsSource(SettingsSource source) {
  settingsSource_ = source ? std::move(source) : SettingsSource(&TransportSettings::fromStore);
}

void SipTransport::setPublicAddressResolver(PublicAddressResolver resolver) {
  publicResolver_ = resolver ? std::move(resolver) : PublicAddressResolver(&defaultPublicAddress);
}

void SipTransport::restart() {
  Stop();
  {
    std::lock_guard lock(addressLock_);
    public_.port = 0;
    resolved_ = {};
  }
  ready_.reset();
  if (!Start(platform::kPriorityNormal)) {
    sipLogError("Cannot start the SIP transport: out of descriptors");
  }
}

void SipTransport::shutdown() {
  Stop();
}

void SipTransport::requestRebind() {
  restartRequest_ = true;
}

bool SipTransport::waitReady(int32_t timeoutMs) {
  return ready_.wait(timeoutMs);
}

bool SipTransport::stopRequested() {
  return WorkerThread::stopRequested();
}

std::string SipTransport::newCallId() {
  return ids_.newCallId(publicAddress().address);
}

bool SipTransport::send(const SipTarget& to, std::string_view text) {
  if (to.valid() && !to.transportNamed && !isStream(to.transport) &&
      text.size() > kUdpRequestLimit && !text.starts_with("SIP/")) {
    // Too large a request for a datagram: over TCP, and as it was should no connection
    // be made (RFC 3261 section 18.1.1).
    SipTarget tcp = to;
    tcp.transport = TransportKind::Tcp;
    const std::string overTcp = withViaTransport(text, TransportKind::Tcp);
    if (trace_) trace_->traceSent(to.address, overTcp, TransportKind::Tcp);
    return streams_->send(tcp, overTcp, TlsSettings{}, std::string(text));
  }
  if (trace_) trace_->traceSent(to.address, text, to.transport);
  if (!to.valid()) return false;
  if (isStream(to.transport)) {
    return streams_->send(to, text, to.tls ? *to.tls : tlsSettingsFor(to.serverName));
  }
  const int fd = socket_.load();
  if (fd < 0) return false;
  return platform::sendTo(fd, text.data(), text.size(), to.address) ==
         static_cast<int>(text.size());
}

void SipTransport::sendKeepAlive(const SipTarget& to, std::string_view serverName) {
  if (isStream(to.transport)) {
    streams_->ping(to);
  } else {
    static constexpr char kZeros[4] = {0, 0, 0, 0};
    const int fd = socket_.load();
    if (fd >= 0) {
      platform::sendTo(fd, kZeros, sizeof kZeros, to.address);
    }
  }
  if (trace_) trace_->traceKeepAlive(serverName);
}

void SipTransport::setTlsSettings(const std::string& serverName, const TlsSettings& settings) {
  std::lock_guard lock(tlsLock_);
  for (auto& [name, known] : tlsByServer_) {
    if (equalsNoCase(name, serverName)) {
      known = settings;
      return;
    }
  }
  tlsByServer_.emplace_back(serverName, settings);
}

TlsSettings SipTransport::tlsSettingsFor(const std::string& serverName) const {
  std::lock_guard lock(tlsLock_);
  for (const auto& [name, known] : tlsByServer_) {
    if (equalsNoCase(name, serverName)) return known;
  }
  return TlsSettings{};
}

void SipTransport::connectionFailed(const SipTarget& target, const std::string& reason,
                                    bool tlsRefused, std::vector<std::string> fallbacks) {
  // The next request to that server tries its next target, if it has one.
  if (fallbacks.empty()) markFailed(target);
  SipTarget udp = target;
  udp.transport = TransportKind::Udp;
  udp.transportNamed = true;
  udp.connection = 0;
  for (const std::string& text : fallbacks) send(udp, text);
  if (!tlsRefused) return;
  const std::string host =
      target.serverName.empty() ? target.address.toString() : target.serverName;
  std::lock_guard lock(problemLock_);
  if (problemHandler_) problemHandler_("The certificate of " + host + " was refused: " + reason);
}

void SipTransport::regRegistered() {
  std::lock_guard lock(problemLock_);
  if (problemHandler_) problemHandler_({});
}

void SipTransport::setProblemHandler(ProblemHandler handler) {
  std::lock_guard lock(problemLock_);
  problemHandler_ = std::move(handler);
}

void SipTransport::sendResponse(const SipMessage& request, const ResponseSpec& form) {
  // Every response but 100 names this side's tag; outside a dialog a fresh one.
  ResponseSpec tagged = form;
  std::string freshTag;
  if (tagged.toTag.empty() && tagged.status != 100) {
    freshTag = newTag();
    tagged.toTag = freshTag;
  }
  std::string text = buildResponse(request, tagged);
  const SipTarget to = request.replyTarget();
  send(to, text);
  cache_.store(identityOf(request), std::move(text), to, platform::tickMs());
}

void SipTransport::sendAck(const SipMessage& response, const SipTarget& to, std::string text) {
  send(to, text);
  cache_.store(identityOf(response), std::move(text), to, platform::tickMs());
}

uint16_t SipTransport::regLocalPort(TransportKind transport) {
  return transport == TransportKind::Tls ? streams_->tlsPort() : boundPort_.load();
}

void SipTransport::registerCall(SipCall* call) {
  ready_.wait(10000);
  std::lock_guard lock(callLock_);
  calls_.push_back(call);
}

void SipTransport::unregisterCall(SipCall* call) {
  std::lock_guard lock(callLock_);
  calls_.erase(std::remove(calls_.begin(), calls_.end(), call), calls_.end());
}

void SipTransport::addEngine(SipEngine* engine) {
  std::lock_guard lock(engineLock_);
  engines_.push_back(engine);
}

void SipTransport::removeEngine(SipEngine* engine) {
  std::lock_guard lock(engineLock_);
  engines_.erase(std::remove(engines_.begin(), engines_.end(), engine), engines_.end());
}

void SipTransport::addRegistration(const RegistrationConfig& config) {
  registrations_.add(config, newCallId(), newTag(), platform::tickMs());
}

void SipTransport::removeRegistration(const RegistrationConfig& config) {
  registrations_.remove(config);
}

void SipTransport::addMailbox(const MailboxConfig& config) {
  mailboxes_.add(config, newCallId(), newTag(), platform::tickMs());
  wake_.set();
}

bool SipTransport::answerFromCache(const SipMessage& message) {
  const ResponseCache::Hit hit = cache_.match(identityOf(message), platform::tickMs());
  if (!hit.matched) return false;
  // A repeated request is answered the way it came now (a new connection, perhaps).
  if (hit.resend) send(message.isRequest() ? message.replyTarget() : hit.to, hit.text);
  return true;
}

std::optional<SipMessage> SipTransport::takeMessage(SipCall& call, int32_t timeoutMs,
                                                    std::initializer_list<platform::Event*> wake) {
  const uint32_t start = platform::tickMs();
  std::vector<platform::Event*> events;
  events.push_back(&call.messageEvent());
  events.insert(events.end(), wake.begin(), wake.end());
  for (;;) {
    std::optional<SipMessage> message = call.pop();
    if (!message) {
      const int32_t left = timeoutMs - since(platform::tickMs(), start);
      if (left <= 0) return std::nullopt;
      const int r = platform::waitAny(events, left);
      if (r > 0) return std::nullopt;  // woken by a command or a stop request
      if (r == platform::kWaitFailed) return std::nullopt;
      continue;
    }
    if (answerFromCache(*message)) continue;
    // An INVITE with Replaces comes with a Call-ID of its own and may well reuse CSeq 1:
    // only one of this dialog is a repeat of its first INVITE.
    if (message->method == "INVITE" && !call.inviteCSeq.empty() &&
        message->header(hdr::kCSeq) == call.inviteCSeq &&
        message->header(hdr::kCallId) == call.callId) {
      if (topVia(*message) != call.inviteTopVia) {
        ResponseSpec form;
        form.status = 482;
        form.reason = "Loop Detected";
        sendResponse(*message, form);
      }
      continue;
    }
    return message;
  }
}

bool SipTransport::bindSocket(const TransportSettings& settings) {
  // The old sockets go first, so that the same port can be bound again.
  const int old = socket_.exchange(-1);
  if (old >= 0) platform::UniqueFd closer(old);
  boundPort_ = 0;
  streams_->Stop();
  streams_->listen(platform::UniqueFd(), platform::UniqueFd());  // the old listeners go too
  platform::UniqueFd socket;
  platform::UniqueFd listener;
  int listenError = 0;
  // UDP and TCP share the port: the first port free for both, in both families.
  for (int32_t port = settings.port;; ++port) {
    if (port > 65534) return false;
    if (!platform::bindDualStackUdp(socket, static_cast<uint16_t>(port))) {
      if (errno == EADDRINUSE) continue;
      return false;
    }
    listener = listenTcp(static_cast<uint16_t>(port), listenError);
    if (listener || listenError != EADDRINUSE) {
      boundPort_ = static_cast<uint16_t>(port);
      break;
    }
  }
  if (!platform::enableSocketErrors(socket.get())) {
    sipLogError(std::string("The SIP port cannot report unreachable servers: ") +
                std::strerror(errno));
  }
  socket_ = socket.release();
  if (!listener) {
    sipLogError("Unable to listen for SIP over TCP on port " + std::to_string(boundPort_) + ": " +
                std::strerror(listenError));
  }
  streams_->listen(std::move(listener), listenTls(settings.tlsPort));
  if (!streams_->Start(platform::kPriorityNormal)) {
    sipLogError("Cannot start the SIP connections: out of descriptors");
  }
  return true;
}

platform::UniqueFd SipTransport::listenTls(int32_t port) {
  if (port <= 0) return {};
  // The next free port of ten, as a second profile on the machine needs.
  int error = 0;
  for (int32_t p = port; p < port + 10 && p <= 65535; ++p) {
    platform::UniqueFd listener = listenTcp(static_cast<uint16_t>(p), error);
    if (listener || error != EADDRINUSE) return listener;
  }
  sipLogError("Unable to listen for SIP over TLS on port " + std::to_string(port) + ": " +
              std::strerror(error));
  return {};
}

void SipTransport::Run() {
  uint32_t now = platform::tickMs();
  uint32_t lastPublicCheck = now - 3600000u;
  uint32_t lastStunKeepAlive = now - 3600000u;
  bool keepAlivesAllowed = true;
  running_ = true;
  if (!reaper_->Start(platform::kPriorityBelowNormal)) {
    sipLogError("Cannot start the dialog reaper: out of descriptors");
  }
  std::vector<char> buffer(kMaxDatagram + 1);
  std::string lastPrivate;
  uint16_t lastLoggedPort = 0;
  std::string lastLoggedPrivate;
  bool rebind = socket_.load() < 0;

  TransportSettings settings = settingsSource_();
  uint32_t settingsRead = platform::tickMs();
  while (!stopRequested()) {
    // The settings file is read at most once a second, not for every datagram.
    if (platform::tickMs() - settingsRead >= 1000) {
      settings = settingsSource_();
      settingsRead = platform::tickMs();
    }
    const std::string currentPrivate = privateSource_();
    if (currentPrivate != lastPrivate) {
      rebind = true;
      lastPrivate = currentPrivate;
      std::lock_guard lock(addressLock_);
      privateAddress_ = currentPrivate;
    }
    if (currentPrivate.empty()) {
      ready_.set();
      if (stopEvent().wait(20000)) break;
      continue;
    }
    bool justBound = false;
    if (rebind || restartRequest_.exchange(false)) {
      ready_.reset();
      if (!bindSocket(settings)) {
        sipLogError("Unable to bind the SIP port " + std::to_string(settings.port) + ": " +
                    std::strerror(errno));
        ready_.set();
        if (stopEvent().wait(20000)) break;
        continue;
      }
      rebind = false;
      justBound = true;
      if (currentPrivate != lastLoggedPrivate || boundPort_ != lastLoggedPort) {
        lastLoggedPrivate = currentPrivate;
        lastLoggedPort = boundPort_;
        sipLogInfo("SIP Private IP is: " + currentPrivate + ":" + std::to_string(boundPort_));
      }
    }
    if (stopRequested()) break;

    now = platform::tickMs();
    if (justBound || now - lastPublicCheck >= kPublicRecheckMs) {
      lastPublicCheck = now;
      refreshPublicAddress(settings, now);
    }

    registrations_.drive(platform::tickMs(), keepAlivesAllowed, [this] { return stopRequested(); });
    mailboxes_.drive(platform::tickMs());
    if (lineChanged_.exchange(false)) publishLineState(platform::tickMs());
    notifier_.drive(platform::tickMs());
    if (stopRequested()) break;
    ready_.set();

    now = platform::tickMs();
    int32_t wait = kIdleWaitMs;
    registrations_.adjustWait(now, keepAlivesAllowed, wait);
    mailboxes_.adjustWait(now, wait);
    notifier_.adjustWait(now, wait);
    if (keepAlivesAllowed) {
      if (now - lastStunKeepAlive >= kStunKeepAliveMs) {
        if (settings.stun) {
          const std::string& server =
              net::useSecondStunServer() ? settings.stunServer2 : settings.stunServer1;
          platform::SocketAddress to;
          if (resolve(server, 3478, to)) {
            sendKeepAlive(udpTarget(to), server);
          } else if (trace_) {
            trace_->traceKeepAlive(server);
          }
        }
        lastStunKeepAlive = now;
      } else {
        wait = std::min<int32_t>(wait, kStunKeepAliveMs - (now - lastStunKeepAlive));
      }
    }
    if (wait > 0) {
      platform::Event* events[] = {&stopEvent(), &streams_->received(), &wake_};
      const int fds[] = {socket_.load()};
      if (platform::waitAnyOrReadable(events, fds, wait) == 0) break;
    }
    receiveAll(buffer);
    receiveStreams();
  }

  unregisterAtShutdown(buffer);
  // Let the reaper finish a CANCEL or BYE in flight, then stop it.
  reaper_->idleEvent().wait(1500);
  reaper_->Stop();
  streams_->Stop();
  const int fd = socket_.exchange(-1);
  if (fd >= 0) platform::UniqueFd closer(fd);
  boundPort_ = 0;
  rebind = true;
  running_ = false;
}

void SipTransport::receiveStreams() {
  for (const StreamMessage& message : streams_->takeReceived()) {
    if (stopRequested()) return;
    ++received_;
    handleMessage(message.text, message.from, message.transport, message.connection);
  }
}

void SipTransport::receiveAll(std::vector<char>& buffer) {
  const int fd = socket_.load();
  if (fd < 0) return;
  takeUnreachable(fd);
  // An ICMP error that comes in meanwhile fails one read: taken, and reading goes on (a few
  // times a pass at most).
  int failedReads = 0;
  for (;;) {
    if (stopRequested()) return;
    platform::SocketAddress from;
    const int n = platform::recvFromAddress(fd, buffer.data(), kMaxDatagram, &from);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || ++failedReads > 4) return;
      takeUnreachable(fd);
      continue;
    }
    buffer[static_cast<size_t>(n)] = 0;
    ++received_;
    handleMessage(std::string_view(buffer.data(), static_cast<size_t>(n)), from, TransportKind::Udp,
                  0);
  }
}

void SipTransport::takeUnreachable(int fd) {
  const uint32_t now = platform::tickMs();
  for (const platform::SocketError& error : platform::takeSocketErrors(fd, kMaxSocketErrors)) {
    if (!error.unreachable() || !error.destination.valid()) continue;
    const SipTarget target = udpTarget(error.destination);
    // One line for a target, not one for each datagram that went there.
    const bool told = failedSince(target, now - kUnreachableQuietMs);
    markFailed(target);
    if (told) continue;
    sipLogInfo("SIP: " + error.destination.toString() + " (UDP) is unreachable: " +
               error.describe() + " (" + std::strerror(error.error) + ")");
  }
}

void SipTransport::unregisterAtShutdown(std::vector<char>& buffer) {
  unregisterWindow(buffer);
  registrations_.endUnregister(platform::tickMs());
}

// Sends the un-REGISTERs and takes their answers (a challenge is answered once) for at
// most 2000 ms in total.
void SipTransport::unregisterWindow(std::vector<char>& buffer) {
  const uint32_t start = platform::tickMs();
  mailboxes_.unsubscribeAll();  // best effort: their answers are not waited for
  notifier_.terminateAll();
  if (registrations_.unregisterAll() == 0) return;
  // Wait for the answers (a challenge is answered once) for at most 2000 ms in total.
  const int fd = socket_.load();
  auto takeAnswer = [this](std::string_view text, const platform::SocketAddress& from) {
    if (trace_) trace_->traceReceived(from, text);
    std::optional<SipMessage> message = SipMessage::parse(text);
    if (message && message->isResponse()) registrations_.onResponse(*message, platform::tickMs());
  };
  while (registrations_.unregisterPending()) {
    const int32_t left =
        static_cast<int32_t>(kShutdownUnregisterMs) - since(platform::tickMs(), start);
    if (left <= 0) break;
    platform::Event* events[] = {&streams_->received()};
    const int fds[] = {fd};
    const int ready = platform::waitAnyOrReadable(events, fds, left);
    if (ready < 0) break;
    for (const StreamMessage& message : streams_->takeReceived()) {
      takeAnswer(message.text, message.from);
    }
    if (fd >= 0) takeUnreachable(fd);
    platform::SocketAddress from;
    const int n = fd >= 0 ? platform::recvFromAddress(fd, buffer.data(), kMaxDatagram, &from) : -1;
    if (n >= 0) takeAnswer(std::string_view(buffer.data(), static_cast<size_t>(n)), from);
  }
}

}  // namespace quillet::sip
