// SipEngine: the per-line user agent, its call thread and its event pump.
#include "sip/sip_engine.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "base/net_facts.h"
#include "platform/tick.h"
#include "sip/call_bridge.h"
#include "sip/dialog_reaper.h"
#include "sip/in_dialog.h"
#include "sip/sip_log.h"
#include "sip/sip_templates.h"
#include "sip/sip_trace.h"
#include "sip/sip_transport.h"
#include "sip/sip_uri.h"

namespace quillet::sip {

namespace {

int32_t since(uint32_t now, uint32_t then) {
  return static_cast<int32_t>(now - then);
}

// Listener cookies of the engine's own media helpers.
constexpr uint32_t kPumpCookie = 1;
constexpr uint32_t kRecorderCookie = 2;

// Takes what it is given and keeps only the count: the far end's audio when only its
// positions and levels are wanted.
class DiscardSink : public audio::AudioSink {
 public:
  DiscardSink() : AudioSink(8000, 1) {}
  void Write(const int32_t* /*samples*/, uint32_t frames) override { position_ += frames; }
  void Seek(uint32_t position) override { position_ = position; }
};

// The loudest channel of a level report.
int8_t loudest(const audio::LevelReport& report) {
  audio::LevelDb level = audio::kSilenceDb;
  for (uint32_t i = 0; i < report.count; ++i) level = std::max(level, report.levels[i]);
  return level;
}

// "sip:alice@host:5090;transport=udp" → "alice@host:5090".
std::string bareUri(std::string_view uri) {
  if (uri.size() >= 4 && equalsNoCase(uri.substr(0, 4), "sip:")) {
    uri.remove_prefix(4);
  } else if (uri.size() >= 5 && equalsNoCase(uri.substr(0, 5), "sips:")) {
    uri.remove_prefix(5);
  }
  // Parameters and headers follow the host part (the user part may hold ';' itself).
  const size_t at = uri.find('@');
  const size_t cut = uri.find_first_of(";?", at == std::string_view::npos ? 0 : at);
  return std::string(uri.substr(0, cut));
}

// A "q" parameter read as a decimal fraction ("0.8", "1", ".3"); 0.5 when absent.
double qValue(const ParamList& params) {
  if (!hasParam(params, "q")) return 0.5;
  const std::string text = paramValue(params, "q");
  char* end = nullptr;
  const double q = std::strtod(text.c_str(), &end);
  return end == text.c_str() ? 0.5 : q;
}

}  // namespace

SipEngine::SipEngine(SipTransport& transport, const LineIdentity& line,
                     std::unique_ptr<CallMedia> media)
    : transport_(transport), line_(line), media_(std::move(media)) {
  if (line_.displayName.empty()) {
    localNameAddr_ = "<sip:" + line_.userName + "@" + line_.server + ">";
  } else {
    localNameAddr_ =
        "\"" + line_.displayName + "\" <sip:" + line_.userName + "@" + line_.server + ">";
  }
  addressOfRecord_ = "sip:" + line_.userName + "@" + line_.server;
  media_->setDigitsListener([this] {
    // The sender's queue ran empty: report it once, on the GUI thread.
    if (dtmfPending_) {
      dtmfDone_ = true;
      postNotify();
    }
  });
  setEngineEvents(nullptr);
  pump_.SetListener(static_cast<audio::PlayerListener*>(this), kPumpCookie);
  streamRecorder_.SetListener(static_cast<audio::RecorderListener*>(this), kRecorderCookie);
  transport_.addEngine(this);
  if (!line_.outboundServer.empty()) {
    transport_.setTlsSettings(serverUri(line_.outboundServer).host, line_.tls);
  }
  if (!line_.placesCallsOnly) transport_.addRegistration(registrationConfig());
}

// The registration of this engine's line.
RegistrationConfig SipEngine::registrationConfig() const {
  RegistrationConfig config;
  config.server = line_.server;
  config.outboundServer = line_.outboundServer;
  config.addressOfRecord = addressOfRecord_;
  config.user = line_.userName;
  config.authUser = line_.authUser;
  config.password = line_.password;
  config.q = qFromPriority(line_.priority);
  config.transport = line_.transport;
  config.tls = line_.tls;
  return config;
}

SipEngine::~SipEngine() {
  // Off the transport's list first, so that no incoming call can start on this engine
  // once its thread has been stopped.
  transport_.removeEngine(this);
  detachNotify();
  // No events from here on: the helpers stop without reporting to a dying engine.
  pump_.SetListener(nullptr, 0);
  streamRecorder_.SetListener(nullptr, 0);
  StopMedia();
  Stop();  // the call thread ends its call (BYE through the reaper)
  if (call_) {
    transport_.unregisterCall(call_.get());
    call_.reset();
  }
  if (std::unique_ptr<SipCall> left = takeHandedOver())
    transport_.reaper().handOver(std::move(left));
  if (!line_.placesCallsOnly) transport_.removeRegistration(registrationConfig());
  media_->stop();
}

void SipEngine::setEngineEvents(std::unique_ptr<EngineEvents> events) {
  events_ = events ? std::move(events) : std::make_unique<EngineEvents>();
  events_->setEngine(this);
}

void SipEngine::setIncomingScreen(Screen screen) {
  std::lock_guard lock(engineLock_);
  screen_ = std::move(screen);
}

std::string SipEngine::capabilityOffer() {
  return media_->capabilityOffer();
}

bool SipEngine::userMatches(std::string_view uriUser) const {
  return equalsNoCase(uriUser, line_.userName);
}

void SipEngine::postNotify() {
  Post();
}

void SipEngine::setState(int32_t state) {
  callState_ = state;
  postNotify();
}

int SipEngine::Answer() {
  if (reportedState_ != kCallIncoming) return 0;
  sipLogInfo("Answering call...");
  command_ = kCommandAnswer;
  commandEvent_.set();
  return 1;
}

int SipEngine::AnswerAutomatically() {
  if (reportedState_ != kCallIncoming) return 0;
  answeredAutomatically_ = true;
  return Answer();
}

void SipEngine::HangUp() {
  command_ = kCommandHangUp;
  commandEvent_.set();
}

void SipEngine::Refuse(int32_t status, std::string headerLines) {
  if (callState_ == kCallIncoming && command_ != kCommandHangUp) {
    refuseHeaders_ = std::move(headerLines);
    refuseStatus_ = status;
  }
  HangUp();
}

void SipEngine::EndCall() {
  std::lock_guard lock(engineLock_);  // no call starts meanwhile
  HangUp();
  Stop();
}

std::string SipEngine::remoteUser() const {
  std::lock_guard lock(remoteLock_);
  return remoteUser_;
}

std::string SipEngine::remoteUri() const {
  std::lock_guard lock(remoteLock_);
  return remoteUri_;
}

std::string SipEngine::remoteDisplayName() const {
  std::lock_guard lock(remoteLock_);
  return remoteDisplay_;
}

std::string SipEngine::targetUser() const {
  std::lock_guard lock(remoteLock_);
  return targetUser_;
}

void SipEngine::SendDtmf(std::string_view digits) {
  dtmfPending_ = true;
  dtmfDone_ = false;
  if (!media_->sendDigits(digits)) dtmfPending_ = false;  // this media cannot send digits
}

void SipEngine::StopMedia() {
  // Flags first, so that the helpers' "stopped" reports raise nothing.
  playing_ = false;
  recordingMode_ = kNotRecording;
  pump_.Stop();
  streamRecorder_.Stop();
}

audio::SinkRef SipEngine::SendingStream() {
  playing_ = false;
  pump_.Stop();
  if (callState_ != kCallConnected) return {};
  return media_->sendingStream();
}

audio::SourceRef SipEngine::ReceivingStream() {
  recordingMode_ = kNotRecording;
  streamRecorder_.Stop();
  if (callState_ == kCallIdle) return {};
  return media_->receivingStream();
}

void SipEngine::PlayIntoCall(const audio::SourceRef& source) {
  StopMedia();
  playing_ = true;
  // Without a connected call there is nothing to play into: that is a failed start too.
  audio::SinkRef sink = callState_ == kCallConnected ? media_->sendingStream() : audio::SinkRef();
  if (sink.isNull() || source.isNull() || pump_.Start(source, sink) == 0) {
    playing_ = false;
    events_->PlaybackFailed();
    return;
  }
  sendingRate_ = sink->rate();
}

void SipEngine::SeekPlayIntoCall(int32_t ms) {
  if (!pump_.active() || sendingRate_ == 0) return;
  const int64_t rate = sendingRate_;
  int64_t target = static_cast<int64_t>(pump_.position()) * 1000 / rate + ms;
  if (sourceKept_) {
    const int64_t end = keptSource_->framesToMs(keptSource_->Length());
    target = std::min(target, end - kSeekEndMarginMs);
  }
  target = std::max<int64_t>(target, 0);
  pump_.Restart(static_cast<uint32_t>(target * rate / 1000));
}

void SipEngine::startRecording(const audio::SinkRef& sink, int32_t maxLengthMs, int8_t startLevel,
                               int32_t bufferMs, RecordingMode mode) {
  StopMedia();
  uint32_t hangMs = 0;
  if (bufferMs < kLongBufferMs) {
    const int32_t buffer = std::max(bufferMs, kShortBufferMinMs);
    noActivityLimitMs_ = kShortBufferLimitMs;
    hangMs = static_cast<uint32_t>(buffer) - kShortBufferLimitMs;
  } else {
    hangMs = kLongBufferHangMs;
    noActivityLimitMs_ = static_cast<uint32_t>(bufferMs) - kLongBufferHangMs;
  }
  noActivityRefresh_ = platform::tickMs() + kRecordingGraceMs;
  const audio::SourceRef source =
      callState_ == kCallIdle ? audio::SourceRef() : media_->receivingStream();
  // The mode is set first so that the recorder's first position report is passed on.
  recordingMode_ = mode;
  const uint32_t maxLength = static_cast<uint32_t>(std::max(maxLengthMs, 0));
  if (source.isNull() || streamRecorder_.Start(source, sink, maxLength, startLevel, hangMs) == 0) {
    recordingMode_ = kNotRecording;
    HangUp();
  }
}

void SipEngine::RecordCall(const audio::SinkRef& sink, int32_t maxLengthMs, int8_t startLevel,
                           int32_t bufferMs) {
  startRecording(sink, maxLengthMs, startLevel, bufferMs, kRecordingIntoSink);
}

void SipEngine::RecordCallLevels(int32_t maxLengthMs, int8_t startLevel, int32_t bufferMs) {
  if (maxLengthMs < 1) {
    events_->LevelRecordingStopped();
    return;
  }
  if (bufferMs < 1) {
    bufferMs = kLevelsDefaultBufferMs;
    startLevel = audio::kSilenceDb;
  }
  startRecording(audio::makeStream<DiscardSink>(), maxLengthMs, startLevel, bufferMs,
                 kRecordingLevels);
}

void SipEngine::RecordCallFrom(int32_t maxLengthMs, const audio::SourceRef& source) {
  keptSource_ = source;
  sourceKept_ = !source.isNull();
  RecordCallLevels(maxLengthMs, audio::kSilenceDb, 0);
}

int SipEngine::IsRecording() {
  return recordingMode_ == kRecordingIntoSink &&
                 streamRecorder_.state() != audio::StreamRecorder::kIdle
             ? 1
             : 0;
}

void SipEngine::OnStopped(uint32_t cookie) {
  if (cookie == kPumpCookie) {
    if (playing_.exchange(false)) events_->PlaybackFailed();
    return;
  }
  // The recording is over; the mode is cleared so that it reports once.
  const int32_t mode = recordingMode_.exchange(kNotRecording);
  if (mode == kRecordingIntoSink) {
    events_->RecordingStopped();
  } else if (mode == kRecordingLevels) {
    events_->LevelRecordingStopped();
  }
}

void SipEngine::OnPosition(const uint32_t* ms, uint32_t cookie) {
  const auto value = static_cast<int32_t>(*ms);
  if (cookie == kPumpCookie) {
    events_->PlaybackPosition(value);
  } else if (recordingMode_ == kRecordingIntoSink) {
    events_->RecordingPosition(value);
  }
}

void SipEngine::OnLevels(const audio::LevelReport* levels, uint32_t cookie) {
  if (cookie == kPumpCookie) {
    events_->PlaybackLevel(loudest(*levels));
    return;
  }
  if (recordingMode_ == kNotRecording) return;
  const uint32_t now = platform::tickMs();
  if (streamRecorder_.state() == audio::StreamRecorder::kWaiting) {
    noActivityRefresh_ = now;
  } else if (since(now, noActivityRefresh_) > static_cast<int32_t>(noActivityLimitMs_)) {
    streamRecorder_.Stop();  // reports "stopped", which raises the mode's event
    return;
  }
  if (recordingMode_ == kRecordingIntoSink) events_->RecordingLevel(loudest(*levels));
}

int SipEngine::Dial(std::string_view target) {
  return dialTarget(target, false);
}

int SipEngine::DialIntercom(std::string_view target) {
  return dialTarget(target, true);
}

int SipEngine::dialTarget(std::string_view target, bool intercom) {
  const std::string text(target);
  sipLogInfo("Initiated sip call to: " + text);
  if (!isDialable(text)) {
    sipLogError("Error sip address or phone number is invalid: " + text);
    return 0;
  }
  if (line_.server.empty() && text.find('@') == std::string::npos) {
    sipLogError("No server specified in the address or phone number: " + text);
    sipLogError("You must either...");
    sipLogError("put a server in the address, for example 1234@sip.example.com, or");
    sipLogError("Specify a server for this line in settings.");
    return 0;
  }
  const std::string nameAddr = dialToNameAddr(text, line_.server);
  return startCall(intercom ? kCallIntercom : kCallOutgoing, makeOutgoingCall(nameAddr),
                   std::nullopt)
             ? 1
             : 0;
}

std::unique_ptr<SipCall> SipEngine::makeOutgoingCall(std::string_view remoteNameAddr) {
  auto call = std::make_unique<SipCall>();
  call->callId = transport_.newCallId();
  call->localTag = transport_.newTag();
  call->localCSeq = platform::tickMs() % 1000;
  std::string local = localNameAddr_;
  if (local.size() >= 2 && local.compare(local.size() - 2, 2, "@>") == 0) {
    const PublicAddress pub = transport_.publicAddress();
    local.insert(local.size() - 1, pub.address + ":" + std::to_string(pub.port));
  }
  call->localNameAddr = local + ";tag=" + call->localTag;
  call->remoteNameAddr = std::string(remoteNameAddr);
  call->remoteTarget = parseNameAddr(remoteNameAddr).uri;
  if (!line_.outboundServer.empty()) {
    call->routeSet = presetRoute(line_.outboundServer);
    call->presetRoute = true;
  }
  call->user = line_.userName;
  call->transport = line_.transport;
  call->tls = std::make_shared<const TlsSettings>(line_.tls);
  call->authUser = line_.authUser;
  call->password = line_.password;
  call->createdHere = true;
  return call;
}

namespace {

constexpr HeaderName kPAssertedIdentity{"P-Asserted-Identity"};

// Whether a message came from the server (host[:port] or a URI; port 5060 when none is
// written). On a connection the server's address suffices: its far end has a port of its
// own, and a connection's source cannot be forged the way a datagram's can.
bool cameFrom(const SipMessage& message, const std::string& server) {
  if (server.empty()) return false;
  const SipUri uri = serverUri(server);
  platform::SocketAddress address;
  if (!SipTransport::resolve(uri.host, kDefaultSipPort, address) ||
      !address.sameHost(message.source)) {
    return false;
  }
  return isStream(message.transport) ||
         (uri.hasPort ? uri.port : kDefaultSipPort) == message.source.port();
}

}  // namespace

IncomingCallFacts SipEngine::factsOf(const SipMessage& invite) const {
  IncomingCallFacts facts;
  facts.autoAnswer = readAutoAnswer(invite);
  facts.viaProxy = cameFrom(invite, line_.server) || cameFrom(invite, line_.outboundServer);
  facts.sourceHost = invite.source.host();
  const std::vector<std::string> asserted = invite.headerElements(kPAssertedIdentity);
  if (facts.viaProxy && !asserted.empty()) {
    facts.assertedIdentity = shownText(bareUri(parseNameAddr(asserted.front()).uri));
  }
  return facts;
}

IncomingResult SipEngine::incomingInvite(const SipMessage& invite) {
  if (callState_ != kCallIdle) return IncomingResult::Busy;
  IncomingCallFacts facts = factsOf(invite);
  Screen screen;
  {
    std::lock_guard lock(engineLock_);
    screen = screen_;
  }
  const std::string caller = shownText(bareUri(parseNameAddr(invite.header(hdr::kFrom)).uri));
  const IncomingScreen verdict = line_.placesCallsOnly ? IncomingScreen{486, {}}
                                 : screen              ? screen(*this, facts, caller)
                                                       : IncomingScreen{};
  if (verdict.status != 0) {
    const std::string tag = transport_.newTag();  // the form only points at it
    ResponseSpec form = simpleResponse(verdict.status, tag);
    form.extraHeaders = verdict.headerLines;
    transport_.sendResponse(invite, form);
    return IncomingResult::Refused;
  }
  auto call = callFromInvite(invite, transport_, line_.userName, line_.authUser, line_.password);
  call->transport = invite.transport;  // where the caller's URIs name none, the way it came
  call->tls = std::make_shared<const TlsSettings>(line_.tls);
  // Who the call was for: the "target" of the request URI, else of the To URI, else To.
  const SipUri requestUri = parseUri(invite.uri);
  const SipUri toUri = parseUri(parseNameAddr(invite.header(hdr::kTo)).uri);
  std::string target = paramValue(requestUri.params, "target");
  if (target.empty()) target = paramValue(toUri.params, "target");
  return startCall(kCallIncoming, std::move(call), invite,
                   shownText(target.empty() ? toUri.user : parseUri(target).user), std::move(facts))
             ? IncomingResult::Started
             : (callState_ == kCallIdle ? IncomingResult::Failed : IncomingResult::Busy);
}

bool SipEngine::startCall(int32_t state, std::unique_ptr<SipCall> call,
                          std::optional<SipMessage> invite, std::string targetUser,
                          IncomingCallFacts facts) {
  std::lock_guard lock(engineLock_);
  if (callState_ != kCallIdle) return false;
  if (!call->messageEvent().valid()) {
    sipLogError("Cannot start a call: out of descriptors");
    return false;
  }
  Stop();
  command_ = kCommandNone;
  handOverRequest_ = false;
  if (std::unique_ptr<SipCall> left = takeHandedOver())
    transport_.reaper().handOver(std::move(left));
  answeredAutomatically_ = false;
  refuseStatus_ = 487;
  refuseHeaders_.clear();
  incoming_ = std::move(facts);
  commandEvent_.reset();
  invite_.reset();
  setRemote(call->remoteNameAddr);
  {
    std::lock_guard remoteLock(remoteLock_);
    targetUser_ = state == kCallIncoming ? std::move(targetUser) : line_.userName;
  }
  ringCount_ = 1;
  ringsReported_ = 0;
  invite_ = std::move(invite);
  intercom_ = state == kCallIntercom;
  if (call_) transport_.unregisterCall(call_.get());
  call_ = std::move(call);
  transport_.registerCall(call_.get());
  callState_ = state;
  if (!Start(platform::kPriorityBelowNormal)) {
    sipLogError("Cannot start a call: out of descriptors");
    callState_ = kCallIdle;
    transport_.unregisterCall(call_.get());
    call_.reset();
    invite_.reset();
    return false;
  }
  reportedState_ = 6;  // the next report always differs
  postNotify();
  return true;
}

void SipEngine::setRemote(const std::string& remoteNameAddr) {
  const NameAddr remote = parseNameAddr(remoteNameAddr);
  // What is kept of the far end is shown, logged and stored: cut to its limit.
  std::string user = shownText(parseUri(remote.uri).user);
  std::string display = remote.displayName.empty() ? user : shownText(remote.displayName);
  std::string uri = shownText(bareUri(remote.uri));
  std::lock_guard lock(remoteLock_);
  remoteUser_ = std::move(user);
  remoteDisplay_ = std::move(display);
  remoteUri_ = std::move(uri);
}

bool SipEngine::stopOrHangUp() {
  commandEvent_.reset();
  return stopRequested() || command_ == kCommandHangUp;
}

std::string SipEngine::contactFor(const SipMessage& request) const {
  const LocalContact local = transport_.localAddressFor(request.replyTarget());
  return contactValue(line_.userName, local.address, local.port, local.transport);
}

platform::SocketAddress SipEngine::callNextHop() const {
  const RouteDecision route =
      applyRouteSet(call_->routeSet, call_->presetRoute, call_->remoteTarget);
  const HostPort hop = nextHop(route.destinationUri);
  platform::SocketAddress address;
  if (!hop.host.empty()) SipTransport::resolve(hop.host, hop.port, address);
  return address;
}

void SipEngine::Run() {
  const int32_t state = callState_;
  if (state == kCallIncoming && invite_ && call_) {
    transport_.sendResponse(*invite_, simpleResponse(180, call_->localTag));
    if (!media_->openPort({&stopEvent(), invite_->source})) {
      sipLogInfo("No RTP port could be opened for the call");
      finalResponse(*invite_, *call_, simpleResponse(503, call_->localTag), nullptr);
    } else if (ringingLoop()) {
      inCallLoop();
    }
  } else if (call_) {
    if (!media_->openPort({&stopEvent(), callNextHop()})) {
      sipLogInfo("No RTP port could be opened for the call");
    } else if (placeInvite(state == kCallIntercom ? line_.answerHeaders : 0)) {
      sipLogInfo("Call answered");
      inCallLoop();
    }
  }
  sipLogInfo("Call has disconnected");
  media_->stop();
  if (call_) {
    // The reaper owns the dialog from here; it stays known to the transport so that late
    // messages still reach it.
    transport_.reaper().handOver(std::move(call_));
  }
  invite_.reset();
  {
    // A join asked for too late to be taken lets its engine go before the end is reported.
    std::lock_guard lock(transferLock_);
    joinTarget_.reset();
  }
  settleTransfer();  // asked for and never carried out
  setState(kCallIdle);
  handOverDone_.set();
  handOverRequest_ = false;
}

bool SipEngine::ringingLoop() {
  sipLogInfo("Incoming SIP call");
  const uint32_t start = platform::tickMs();
  for (;;) {
    transport_.sendResponse(*invite_, simpleResponse(180, call_->localTag));
    const int32_t elapsed = since(platform::tickMs(), start);
    if (elapsed >= static_cast<int32_t>(kRingLimitMs)) {
      // A caller that went away without CANCEL must not keep the line busy for ever.
      sipLogInfo("Nobody answered the call");
      finalResponse(*invite_, *call_, simpleResponse(480, call_->localTag), nullptr);
      return false;
    }
    ringCount_ = elapsed / static_cast<int32_t>(kRingRepeatMs) + 1;
    postNotify();
    const int32_t wait = std::max<int32_t>(
        static_cast<int32_t>(kRingRepeatMs) - elapsed % static_cast<int32_t>(kRingRepeatMs), 500);
    const uint32_t sliceStart = platform::tickMs();
    // Wait out the ring period, handling what arrives meanwhile.
    for (;;) {
      const int32_t left = wait - since(platform::tickMs(), sliceStart);
      std::optional<SipMessage> message;
      if (left > 0) message = transport_.takeMessage(*call_, left, {&stopEvent(), &commandEvent_});
      if (message && message->isRequest()) {
        const std::string& method = message->method;
        if (method == "CANCEL") {
          transport_.sendResponse(*message, simpleResponse(200, call_->localTag));
          finalResponse(*invite_, *call_, simpleResponse(487, call_->localTag), nullptr);
          return false;
        }
        if (method == "INVITE" || method == "REFER") {
          transport_.sendResponse(*message, simpleResponse(500, call_->localTag));
        } else if (!inDialogRequest(*call_, *message)) {
          finalResponse(*invite_, *call_, simpleResponse(487, call_->localTag), nullptr);
          return false;
        }
      }
      if (stopOrHangUp()) {
        ResponseSpec refusal = simpleResponse(refuseStatus_, call_->localTag);
        refusal.extraHeaders = refuseHeaders_;
        finalResponse(*invite_, *call_, refusal, nullptr);
        return false;
      }
      if (command_ == kCommandAnswer) {
        // An automatic answer says so, in the header the caller asked with.
        const bool priv = incoming_.autoAnswer.privMode == AnswerMode::Auto;
        return acceptInvite(*invite_, *call_,
                            !answeredAutomatically_ ? ""
                            : priv                  ? "Priv-Answer-Mode: Auto\r\n"
                                                    : "Answer-Mode: Auto\r\n");
      }
      if (!message && left <= 0) break;
      if (!message && since(platform::tickMs(), sliceStart) >= wait) break;
    }
  }
}

int SipEngine::finalResponse(const SipMessage& invite, SipCall& call, const ResponseSpec& form,
                             std::optional<SipMessage>* ack) {
  return holdFinalResponse(genericSide(call), invite, form, ack);
}

DialogSide SipEngine::genericSide(SipCall& call) {
  return DialogSide{transport_, call, stopEvent(), [this, &call](const SipMessage& request) {
                      return inDialogRequest(call, request);
                    }};
}

bool SipEngine::acceptInvite(const SipMessage& invite, SipCall& call,
                             std::string_view extraHeaders) {
  const bool hasOffer = invite.hasBody("application/sdp");
  std::string body;
  if (hasOffer) {
    if (!media_->takeOffer(invite.body("application/sdp"), false, body)) {
      sipLogError("Incoming connection does not support proper SIP codecs");
      finalResponse(invite, call, simpleResponse(415, call.localTag), nullptr);
      return false;
    }
  } else {
    body = media_->makeOffer(false);
  }
  call.established = true;
  const std::string contact = contactFor(invite);
  ResponseSpec form = simpleResponse(200, call.localTag);
  form.contact = contact;
  form.withAllow = true;
  form.contentType = "application/sdp";
  form.body = body;
  form.extraHeaders = extraHeaders;
  std::optional<SipMessage> ack;
  if (finalResponse(invite, call, form, &ack) != 200 || !ack) return false;
  if (!hasOffer) {
    if (!ack->hasBody("application/sdp")) return false;
    if (!media_->takeAnswer(ack->body("application/sdp"))) {
      sipLogError("Incoming connection does not support proper SIP codecs");
      return false;
    }
  }
  return true;
}

bool SipEngine::placeInvite(uint32_t answerHeaders, std::string_view replaces,
                            bool ringingNotifications) {
  const std::string offer = media_->makeOffer(false);
  std::vector<std::string> tried{call_->remoteTarget};
  std::vector<Candidate> candidates;
  for (;;) {
    DialogRequest invite = newDialogRequest(*call_, transport_, "INVITE");
    invite.request.text =
        buildInvite(invite.request, invite.context(), replaces, answerHeaders, offer);
    uint32_t start = platform::tickMs();
    bool provisional = false;
    bool failed = false;
    bool withCancel = false;
    while (!failed) {
      if (!provisional) transport_.send(invite.request.destination, invite.request.text);
      std::optional<SipMessage> message =
          transport_.takeMessage(*call_, provisional ? 3000 : static_cast<int32_t>(kInviteResendMs),
                                 {&stopEvent(), &commandEvent_});
      if (message && message->isResponse() &&
          cseqMatches(*message, invite.request.cseq, "INVITE")) {
        const int32_t status = message->status;
        if (status >= 100 && status <= 199) {
          provisional = true;
          if (ringingNotifications && status >= 180 && status <= 189 &&
              callState_ != kCallFarRinging) {
            setState(kCallFarRinging);
          }
        } else if (status == 200) {
          SipCall& call = *call_;
          call.routeSet = routeSetFromResponse(message->headerValues(hdr::kRecordRoute));
          call.presetRoute = false;
          const std::string contact = message->header(hdr::kContact);
          if (!contact.empty()) call.remoteTarget = parseNameAddr(contact).uri;
          call.remoteNameAddr = message->header(hdr::kTo);
          call.localNameAddr = message->header(hdr::kFrom);
          call.quirks = peerQuirks(*message, parseNameAddr(call.remoteNameAddr).uri);
          call.established = true;
          const bool answered = !message->hasBody("application/sdp") ||
                                media_->takeAnswer(message->body("application/sdp"));
          DialogRequest ack = ackFor(invite, *message, call, transport_);
          ack.request.text = buildAck(ack.request, ack.context());
          transport_.sendAck(*message, ack.request.destination, ack.request.text);
          // No common codec: the established dialog is ended with a BYE by the reaper.
          if (!answered) sipLogError("Incoming connection does not support proper SIP codecs");
          return answered;
        } else if (status >= 300) {
          DialogRequest ack = ackFor(invite, *message, *call_, transport_);
          ack.request.text = buildAck(ack.request, ack.context());
          transport_.sendAck(*message, ack.request.destination, ack.request.text);
          if (status <= 399) {
            for (const std::string& element : message->headerElements(hdr::kContact)) {
              const NameAddr contact = parseNameAddr(element);
              if (std::find(tried.begin(), tried.end(), contact.uri) != tried.end()) continue;
              const double q = qValue(contact.params);
              auto at = std::find_if(candidates.begin(), candidates.end(),
                                     [q](const Candidate& c) { return c.q < q; });
              candidates.insert(at, Candidate{contact.uri, q});
            }
            failed = true;
          } else if (status == 401 || status == 407) {
            if (authenticateRequest(invite.request, *message, call_->authUser, call_->password)) {
              invite.request.cseq = call_->nextCSeq();
              invite.request.branch = transport_.newBranch();
              invite.request.text =
                  buildInvite(invite.request, invite.context(), replaces, answerHeaders, offer);
              start = platform::tickMs();
              provisional = false;
              continue;
            }
            failed = true;
          } else {
            sipLogError("Error. Other side said: " + message->reason);
            failed = true;
          }
        }
      } else if (message && message->isRequest()) {
        if (!inDialogRequest(*call_, *message)) return false;
      }
      if (failed) break;
      if (stopOrHangUp()) {
        sipLogInfo("Call initiate attempt abandoned");
        transport_.reaper().handOverCancel(std::move(call_), invite, provisional);
        return false;
      }
      const uint32_t limit =
          candidates.empty()
              ? (provisional ? kAfterProvisionalLimitMs : kNoAnswerLimitMs)
              : (provisional ? kRedirectAfterProvisionalLimitMs : kRedirectNoAnswerLimitMs);
      if (since(platform::tickMs(), start) >= static_cast<int32_t>(limit)) {
        sipLogError("Error call attempt timed-out.");
        sipLogError("The server is not replying.");
        failed = true;
        withCancel = true;
      }
    }
    // The attempt failed.
    if (candidates.empty()) {
      if (withCancel) transport_.reaper().handOverCancel(std::move(call_), invite, provisional);
      return false;
    }
    std::unique_ptr<SipCall> old = std::move(call_);
    const Candidate next = candidates.front();
    candidates.erase(candidates.begin());
    tried.push_back(next.uri);
    auto call = std::make_unique<SipCall>();
    call->callId = transport_.newCallId();
    call->localTag = transport_.newTag();
    call->localCSeq = platform::tickMs() % 1000;
    call->localNameAddr = stripParameters(old->localNameAddr) + ";tag=" + call->localTag;
    call->remoteNameAddr = "<" + next.uri + ">";
    call->remoteTarget = next.uri;
    call->routeSet = old->routeSet;
    call->presetRoute = old->presetRoute;
    call->user = old->user;
    call->transport = old->transport;
    call->tls = old->tls;
    call->authUser = old->authUser;
    call->password = old->password;
    call->createdHere = true;
    if (withCancel) {
      transport_.reaper().handOverCancel(std::move(old), invite, provisional);
    } else {
      transport_.reaper().handOver(std::move(old));
    }
    call_ = std::move(call);
    transport_.registerCall(call_.get());
  }
}

void SipEngine::inCallLoop() {
  media_->start();
  setState(kCallConnected);
  for (;;) {
    if (handOverRequest_.exchange(false)) {
      // Joined by another engine: it takes the dialog over and this call ends without BYE.
      std::lock_guard lock(handOverLock_);
      handedOver_ = std::move(call_);
      handOverDone_.set();
      return;
    }
    std::optional<SipMessage> message =
        transport_.takeMessage(*call_, 1000, {&stopEvent(), &commandEvent_});
    if (message && message->isRequest() && !inCallRequest(*message)) return;
    if (stopOrHangUp()) return;
    if (command_ == kCommandTransfer) {
      command_ = kCommandNone;
      std::string target;
      {
        std::lock_guard lock(transferLock_);
        target = transferTarget_;
      }
      const bool referred = referAsTransferor(target);
      if (referred) transferOutcome_ = TransferOutcome::Done;
      const bool over = referred || transferByReInvite(target);
      settleTransfer();
      if (over) return;
      if (!call_ || !call_->established) return;  // the party left meanwhile
    }
    if (command_ == kCommandJoin) {
      command_ = kCommandNone;
      std::shared_ptr<SipEngine> other;
      {
        std::lock_guard lock(transferLock_);
        std::swap(other, joinTarget_);
      }
      const bool over = other && joinWith(*other);
      other.reset();  // before the call's end is reported, so its owner can let it go
      settleTransfer();
      if (over) return;
      if (!call_ || !call_->established) return;
    }
    if (command_ == kCommandHandOver) command_ = kCommandNone;  // only a wake-up
  }
}

bool SipEngine::inDialogRequest(SipCall& call, const SipMessage& request) {
  return answerInDialog(transport_, call, request, [this] { return media_->capabilityOffer(); });
}

void SipEngine::OnNotify() {
  const int32_t state = callState_;
  if (state != reportedState_) {
    reportedState_ = state;
    if (state == kCallIdle) {
      StopMedia();
      events_->Ended();
    } else if (state == kCallIncoming) {
      ringCount_ = std::max<int32_t>(ringCount_, 1);
    } else if (state == kCallConnected) {
      events_->Connected();
    }
  }
  if (reportedState_ == kCallIncoming && command_ != kCommandAnswer) {
    if (ringsReported_ < ringCount_) {
      ++ringsReported_;
      if (events_->Ring(ringsReported_, ringsReported_ - 1)) Answer();
    }
  }
  if (dtmfPending_ && dtmfDone_) {
    dtmfPending_ = false;
    dtmfDone_ = false;
    events_->DtmfSent();
  }
}

}  // namespace quillet::sip
