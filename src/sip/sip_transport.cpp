// SipTransport: the SIP socket, its thread and the dispatch of received messages.
#include "sip/sip_transport.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/net_facts.h"
#include "base/settings_store.h"
#include "net/public_address.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "sip/auto_answer.h"
#include "sip/dialog_reaper.h"
#include "sip/message_check.h"
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

// The method named in a message's CSeq ("" when none).
std::string cseqMethod(const SipMessage& message) {
  const std::string cseq = message.header(hdr::kCSeq);
  const size_t blank = cseq.find_last_of(" \t");
  return blank == std::string::npos ? std::string() : cseq.substr(blank + 1);
}

std::string lanAddressText() {
  const uint32_t address = base::lanAddress();
  return address == 0 ? std::string() : platform::ipv4ToString(address);
}

}  // namespace

TransportSettings TransportSettings::fromStore() {
  auto& store = base::SettingsStore::global();
  TransportSettings s;
  s.port = store.readInt("SIP", "Port", 5070);
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
      registrations_(*this),
      reaper_(std::make_unique<DialogReaper>(*this)),
      settingsSource_(&TransportSettings::fromStore),
      privateSource_([this] { return routedPrivateAddress(); }),
      publicResolver_(&defaultPublicAddress) {
  // Until the thread has run, both addresses are the current local address.
  privateAddress_ = privateSource_();
  public_.address = privateAddress_;
}

SipTransport::~SipTransport() {
  Stop();
  // The reaper unregisters its dialogs as it goes: delete it while the call list exists.
  reaper_->Stop();
  reaper_.reset();
  const int fd = socket_.exchange(-1);
  if (fd >= 0) platform::UniqueFd closer(fd);
}

void SipTransport::setSettingsSource(SettingsSource source) {
  settingsSource_ = source ? std::move(source) : SettingsSource(&TransportSettings::fromStore);
}

void SipTransport::setPrivateAddressSource(PrivateAddressSource source) {
  privateSource_ =
      source ? std::move(source) : PrivateAddressSource([this] { return routedPrivateAddress(); });
  std::lock_guard lock(addressLock_);
  privateAddress_ = privateSource_();
  if (public_.port == 0) public_.address = privateAddress_;
}

void SipTransport::setPublicAddressResolver(PublicAddressResolver resolver) {
  publicResolver_ = resolver ? std::move(resolver) : PublicAddressResolver(&defaultPublicAddress);
}

void SipTransport::setRouteTarget(std::string server) {
  std::lock_guard lock(routeLock_);
  if (server == routeTarget_) return;
  routeTarget_ = std::move(server);
  routeResolved_ = false;
}

std::string SipTransport::routedPrivateAddress() {
  uint32_t target = 0;
  {
    // The name is looked up again at most once a minute: this runs on every pass.
    std::lock_guard lock(routeLock_);
    const uint32_t now = platform::tickMs();
    if (!routeTarget_.empty() && (!routeResolved_ || now - routeResolvedAt_ >= 60000)) {
      sockaddr_in to{};
      routeAddress_ = resolve(routeTarget_, 5060, to) ? to.sin_addr.s_addr : 0;
      routeResolvedAt_ = now;
      routeResolved_ = true;
    }
    target = routeTarget_.empty() ? 0 : routeAddress_;
  }
  const uint32_t routed = base::localAddressTowards(target);
  return routed != 0 ? platform::ipv4ToString(routed) : lanAddressText();
}

void SipTransport::restart() {
  Stop();
  {
    std::lock_guard lock(addressLock_);
    public_.port = 0;
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

std::string SipTransport::privateAddress() const {
  std::lock_guard lock(addressLock_);
  return privateAddress_;
}

PublicAddress SipTransport::publicAddress() const {
  std::lock_guard lock(addressLock_);
  return public_;
}

std::pair<std::string, uint16_t> SipTransport::localAddressFor(
    const sockaddr_in& destination) const {
  std::lock_guard lock(addressLock_);
  if (destination.sin_addr.s_addr != 0 && base::isPrivateAddress(destination.sin_addr.s_addr)) {
    return {privateAddress_, boundPort_.load()};
  }
  return {public_.address, public_.port};
}

std::string SipTransport::newCallId() {
  return ids_.newCallId(publicAddress().address);
}

bool SipTransport::send(const sockaddr_in& to, std::string_view text) {
  if (trace_) trace_->traceSent(to, text);
  const int fd = socket_.load();
  if (fd < 0 || to.sin_addr.s_addr == 0) return false;
  return platform::sendTo(fd, text.data(), text.size(), platform::Endpoint::fromSockaddr(to)) ==
         static_cast<int>(text.size());
}

void SipTransport::sendKeepAlive(const sockaddr_in& to, std::string_view serverName) {
  static constexpr char kZeros[4] = {0, 0, 0, 0};
  const int fd = socket_.load();
  if (fd >= 0) platform::sendTo(fd, kZeros, sizeof kZeros, platform::Endpoint::fromSockaddr(to));
  if (trace_) trace_->traceKeepAlive(serverName);
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
  send(request.source, text);
  cache_.store(identityOf(request), std::move(text), request.source, platform::tickMs());
}

void SipTransport::sendAck(const SipMessage& response, const sockaddr_in& to, std::string text) {
  send(to, text);
  cache_.store(identityOf(response), std::move(text), to, platform::tickMs());
}

bool SipTransport::resolve(std::string_view hostPort, uint16_t defaultPort, sockaddr_in& out) {
  const HostPort hp = splitHostPort(hostPort, defaultPort);
  out = sockaddr_in{};
  out.sin_family = AF_INET;
  out.sin_port = htons(hp.port);
  if (hp.host.empty()) return false;
  out.sin_addr.s_addr = base::resolveHost(hp.host);
  return out.sin_addr.s_addr != 0;
}

bool SipTransport::resolveNextHop(std::string_view destinationUri, sockaddr_in& out) {
  const HostPort hp = nextHop(destinationUri);
  out = sockaddr_in{};
  out.sin_family = AF_INET;
  out.sin_port = htons(hp.port);
  out.sin_addr.s_addr = hp.host.empty() ? 0 : base::resolveHost(hp.host);
  if (out.sin_addr.s_addr == 0) {
    sipLogError("Unable to find address of server: " + hp.host);
    return false;
  }
  return true;
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

bool SipTransport::answerFromCache(const SipMessage& message) {
  const ResponseCache::Hit hit = cache_.match(identityOf(message), platform::tickMs());
  if (!hit.matched) return false;
  if (hit.resend) send(hit.to, hit.text);
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
  // The old socket goes first, so that the same port can be bound again.
  const int old = socket_.exchange(-1);
  if (old >= 0) platform::UniqueFd closer(old);
  boundPort_ = 0;
  platform::UniqueFd socket;
  int32_t port = settings.port;
  for (;;) {
    socket = platform::udpSocket();
    if (!socket) return false;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0) break;
    if (errno != EADDRINUSE || port >= 65534) return false;
    ++port;
  }
  socket_ = socket.release();
  boundPort_ = static_cast<uint16_t>(port);
  return true;
}

void SipTransport::refreshPublicAddress(const TransportSettings& settings, uint32_t) {
  const PublicAddress found =
      publicResolver_(privateAddress(), boundPort_.load(), socket_.load(), settings, &stopEvent());
  {
    std::lock_guard lock(addressLock_);
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
    if (stopRequested()) break;
    ready_.set();

    now = platform::tickMs();
    int32_t wait = kIdleWaitMs;
    registrations_.adjustWait(now, keepAlivesAllowed, wait);
    if (keepAlivesAllowed) {
      if (now - lastStunKeepAlive >= kStunKeepAliveMs) {
        if (settings.stun) {
          const std::string& server =
              net::useSecondStunServer() ? settings.stunServer2 : settings.stunServer1;
          sockaddr_in to{};
          if (resolve(server, 3478, to)) {
            sendKeepAlive(to, server);
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
      const int fd = socket_.load();
      const base::WaitResult r = base::WaitForReadableOrStop(*this, fd, wait);
      if (r == base::WaitResult::StopRequested) break;
    }
    receiveAll(buffer);
  }

  unregisterAtShutdown(buffer);
  // Let the reaper finish a CANCEL or BYE in flight, then stop it.
  reaper_->idleEvent().wait(1500);
  reaper_->Stop();
  const int fd = socket_.exchange(-1);
  if (fd >= 0) platform::UniqueFd closer(fd);
  boundPort_ = 0;
  rebind = true;
  running_ = false;
}

void SipTransport::receiveAll(std::vector<char>& buffer) {
  const int fd = socket_.load();
  if (fd < 0) return;
  for (;;) {
    if (stopRequested()) return;
    platform::Endpoint from;
    const int n = platform::recvFrom(fd, buffer.data(), kMaxDatagram, &from);
    if (n < 0) return;
    buffer[static_cast<size_t>(n)] = 0;
    ++received_;
    handleDatagram(std::string_view(buffer.data(), static_cast<size_t>(n)), from.toSockaddr());
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
  if (registrations_.unregisterAll() == 0) return;
  // Wait for the answers (a challenge is answered once) for at most 2000 ms in total.
  const int fd = socket_.load();
  while (fd >= 0 && registrations_.unregisterPending()) {
    const int32_t left =
        static_cast<int32_t>(kShutdownUnregisterMs) - since(platform::tickMs(), start);
    if (left <= 0) break;
    pollfd readable{fd, POLLIN, 0};
    const int ready = ::poll(&readable, 1, left);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    platform::Endpoint from;
    const int n = platform::recvFrom(fd, buffer.data(), kMaxDatagram, &from);
    if (n < 0) continue;
    const std::string_view datagram(buffer.data(), static_cast<size_t>(n));
    if (trace_) trace_->traceReceived(from.toSockaddr(), datagram);
    std::optional<SipMessage> message = SipMessage::parse(datagram);
    if (message && message->isResponse()) registrations_.onResponse(*message, platform::tickMs());
  }
}

void SipTransport::handleDatagram(std::string_view datagram, const sockaddr_in& from) {
  if (trace_) trace_->traceReceived(from, datagram);
  std::optional<SipMessage> parsed = SipMessage::parse(datagram);
  if (!parsed) {
    ++dropped_;
    return;
  }
  SipMessage& message = *parsed;
  message.source = from;
  if (!admitted(message)) return;

  const std::string callId = message.header(hdr::kCallId);
  const std::string tag =
      tagOf(message.isRequest() ? message.header(hdr::kTo) : message.header(hdr::kFrom));
  // A 2xx to an INVITE whose dialog another fork has already made belongs to no call.
  const bool inviteSuccess = message.isResponse() && message.status >= 200 &&
                             message.status <= 299 && cseqMethod(message) == "INVITE";
  const std::string toTag = inviteSuccess ? tagOf(message.header(hdr::kTo)) : std::string();
  std::optional<ForkIdentity> forkOf;
  {
    std::lock_guard lock(callLock_);
    for (SipCall* call : calls_) {
      if (!call->matches(callId, tag)) continue;
      if (inviteSuccess) {
        if (call->isOtherFork(toTag)) {
          if (!forkOf) forkOf = ForkIdentity{call->user, call->authUser, call->password};
          continue;
        }
        // The first 2xx makes the dialog, before the call's thread has read it.
        call->confirmRemoteTag(toTag);
      }
      call->push(std::move(message));
      return;
    }
  }
  if (answerFromCache(message)) return;
  if (forkOf) {
    reaper_->endOtherFork(message, *forkOf);
    return;
  }
  if (message.isRequest()) {
    dispatchRequest(message);
    return;
  }
  if (!registrations_.onResponse(message, platform::tickMs())) ++dropped_;
}

bool SipTransport::admitted(const SipMessage& message) {
  const MessageVerdict verdict = checkMessage(message);
  if (verdict.action == MessageVerdict::Action::Accept) return true;
  if (verdict.action == MessageVerdict::Action::Drop) {
    ++dropped_;
    return false;
  }
  if (answerFromCache(message)) return false;  // a retransmission gets the same answer
  ResponseSpec form;
  form.status = verdict.status;
  form.reason = reasonPhrase(verdict.status);
  form.extraHeaders = verdict.extraHeaders;
  sendResponse(message, form);
  sipLogError("Refused " + message.method + " from " +
              platform::Endpoint::fromSockaddr(message.source).toString() + " with " +
              std::to_string(verdict.status) + ": " + verdict.why);
  return false;
}

void SipTransport::dispatchRequest(const SipMessage& request) {
  auto answer = [&](int32_t status) {
    ResponseSpec form;
    form.status = status;
    form.reason = reasonPhrase(status);
    sendResponse(request, form);
  };
  const std::string& method = request.method;
  if (method == "INVITE") {
    const std::string replaces = request.header(hdr::kReplaces);
    if (!replaces.empty()) {
      const std::string replacedId = replaces.substr(0, replaces.find_first_of(" ;"));
      std::lock_guard lock(callLock_);
      for (SipCall* call : calls_) {
        if (call->callId == replacedId) {
          call->push(request);
          return;
        }
      }
      answer(481);
      return;
    }
    incomingInvite(request);
  } else if (method == "OPTIONS") {
    answerOptions(request);
  } else if (method == "REGISTER" || method == "SUBSCRIBE") {
    answer(501);
  } else if (method == "REFER" || method == "INFO" || method == "NOTIFY") {
    answer(481);
  } else if (method == "ACK") {
    // nothing to answer
  } else if (method == "BYE" || method == "CANCEL") {
    answer(200);
  } else {
    answer(501);
  }
}

void SipTransport::incomingInvite(const SipMessage& request) {
  const std::string from = request.header(hdr::kFrom);
  // A caller may ask to be let through do-not-disturb (Priv-Answer-Mode); whether it may
  // is the application's decision on the allow list.
  if (doNotDisturb_ && readAutoAnswer(request).privMode != AnswerMode::Auto) {
    ResponseSpec form;
    form.status = 480;
    form.reason = "Temporarily Unavailable";
    sendResponse(request, form);
    sipLogError("DND is on - reject incoming call from: " + from);
    return;
  }
  const SipUri uri = parseUri(request.uri);
  bool busy = false;
  bool failed = false;
  {
    std::lock_guard lock(engineLock_);
    for (SipEngine* engine : answeringEngines(uri.user)) {
      const IncomingResult result = engine->incomingInvite(request);
      if (result == IncomingResult::Started || result == IncomingResult::Refused) return;
      busy = busy || result == IncomingResult::Busy;
      failed = failed || result == IncomingResult::Failed;
    }
  }
  ResponseSpec form;
  if (failed && !busy) {
    form.status = 503;
    form.reason = "Service Unavailable";
    sendResponse(request, form);
  } else if (busy) {
    form.status = 486;
    form.reason = "Busy Here";
    sendResponse(request, form);
    sipLogError("Busy - reject incoming call from: " + from);
  } else {
    form.status = 404;
    form.reason = "Not Found";
    sendResponse(request, form);
  }
}

std::vector<SipEngine*> SipTransport::answeringEngines(const std::string& user) const {
  std::vector<SipEngine*> named;
  std::vector<SipEngine*> registered;
  for (SipEngine* engine : engines_) {
    if (user.empty() || engine->userMatches(user)) named.push_back(engine);
    if (!engine->line().server.empty()) registered.push_back(engine);
  }
  // A line registered at a server is reachable from anywhere: a user name that is not ours
  // is answered like ours, so that a scan cannot tell which users exist.
  return named.empty() ? registered : named;
}

void SipTransport::answerOptions(const SipMessage& request) {
  const SipUri uri = parseUri(request.uri);
  bool available = false;
  bool busy = false;
  std::string offer;
  {
    std::lock_guard lock(engineLock_);
    for (SipEngine* engine : answeringEngines(uri.user)) {
      if (offer.empty()) offer = engine->capabilityOffer();
      if (engine->isIdle()) {
        if (engine->placesCallsOnly()) continue;  // free, but it takes no calls
        available = true;
        break;
      }
      busy = true;
    }
  }
  ResponseSpec form;
  if (available || busy) {
    form.status = available ? 200 : 486;
    form.reason = available ? "OK" : "Busy Here";
    form.withAllow = true;
    form.contentType = "application/sdp";
    form.body = offer;
  } else {
    form.status = 404;
    form.reason = "Not Found";
  }
  sendResponse(request, form);
}

}  // namespace quillet::sip
