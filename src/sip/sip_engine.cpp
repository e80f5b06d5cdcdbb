// SPDX-License-Identifier: Apache-2.0
// SipEngine: the per-line user agent, its call thread and its event pump.
#include "sip/sip_engine.h"

#include <algorithm>

#include "platform/tick.h"
#include "sip/call_extensions.h"
#include "sip/dialog_reaper.h"
#include "sip/dtmf_info.h"
#include "sip/in_dialog.h"
#include "sip/sip_engine_util.h"
#include "sip/sip_log.h"
#include "sip/sip_templates.h"
#include "sip/sip_transport.h"
#include "sip/sip_uri.h"

namespace quillet::sip {

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
  media_->setFailureListener([this] { HangUp(); });
  media_->setDigitsListener([this] {
    // The sender's queue ran empty: report it once, on the GUI thread.
    if (dtmfPending_) {
      dtmfDone_ = true;
      postNotify();
    }
  });
  media_->setReceivedDigitsListener([this](char digit) { takeDigit(digit); });
  setEngineEvents(nullptr);
  pump_.SetListener(static_cast<audio::PlayerListener*>(this), kPumpCookie);
  streamRecorder_.SetListener(static_cast<audio::RecorderListener*>(this), kRecorderCookie);
  transport_.addEngine(this);
  transport_.addFailureWatch(&serverFailed_);
  if (!line_.outboundServer.empty()) {
    transport_.setTlsSettings(serverUri(line_.outboundServer).host, line_.tls);
  }
  if (!line_.placesCallsOnly) transport_.addRegistration(registrationConfig());
  if (watchesMailbox()) transport_.addMailbox(mailboxConfig());
}

bool SipEngine::watchesMailbox() const {
  return !line_.placesCallsOnly && !line_.server.empty() && !line_.userName.empty();
}

MailboxConfig SipEngine::mailboxConfig() const {
  return MailboxConfig{registrationConfig(),
                       mailboxUri(line_.mailbox, line_.server, addressOfRecord_)};
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
  transport_.removeFailureWatch(&serverFailed_);
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
  if (watchesMailbox()) transport_.removeMailbox(mailboxConfig());
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
  transport_.lineStateChanged();
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
  earlySdp_.clear();
  earlyMedia_ = false;
  earlyReported_ = false;
  reliableRinging_ = false;
  reliable_.reset();
  sessionTimer_.stop();
  refreshFailed_ = false;
  sessionAsked_ = sessionSeconds_;
  offerPending_ = false;
  heldHere_ = false;
  heldThere_ = false;
  media_->setHoldSound(media::HoldSound::None);
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
  transport_.lineStateChanged();
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

void SipEngine::Run() {
  const int32_t state = callState_;
  if (state == kCallIncoming && invite_ && call_) {
    reliableRinging_ = supportsOption(*invite_, "100rel");
    sendRinging();
    media_->setSignallingSecure(invite_->transport == TransportKind::Tls);
    if (!media_->openPort({&stopEvent(), invite_->source})) {
      sipLogInfo("No RTP port could be opened for the call");
      finalResponse(*invite_, *call_, simpleResponse(503, call_->localTag), nullptr);
    } else if (refuseUnsafeMedia(*invite_)) {
      finalResponse(*invite_, *call_, simpleResponse(488, call_->localTag), nullptr);
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
  media_->setHoldSound(media::HoldSound::None);
  heldHere_ = false;
  heldThere_ = false;
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

int SipEngine::finalResponse(const SipMessage& invite, SipCall& call, const ResponseSpec& form,
                             std::optional<SipMessage>* ack) {
  return holdFinalResponse(genericSide(call), invite, form, ack);
}

DialogSide SipEngine::genericSide(SipCall& call) {
  return DialogSide{transport_, call, stopEvent(), [this, &call](const SipMessage& request) {
                      return inDialogRequest(call, request);
                    }};
}

void SipEngine::inCallLoop() {
  if (!earlyMedia_) media_->start();  // early media run already
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
    if (!keepSession()) return;
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
    if (command_ == kCommandHold || command_ == kCommandResume) {
      const bool hold = command_ == kCommandHold;
      command_ = kCommandNone;
      if (!changeHold(hold)) return;
    }
    if (command_ == kCommandHandOver) command_ = kCommandNone;  // only a wake-up
  }
}

void SipEngine::takeDigit(char digit) {
  // Reported on the GUI thread; a flood is cut short here.
  static constexpr size_t kMostWaiting = 64;
  std::lock_guard lock(digitsInLock_);
  if (digitsIn_.size() >= kMostWaiting) return;
  digitsIn_ += digit;
  postNotify();
}

bool SipEngine::inDialogRequest(SipCall& call, const SipMessage& request) {
  if (request.method == "PRACK") return answerPrack(call, request);
  if (request.method == "UPDATE") return onUpdate(call, request);
  if (request.method == "INFO") {
    if (const std::optional<char> digit = infoDigit(request)) takeDigit(*digit);
  }
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
  if (earlyMedia_ && !earlyReported_ &&
      (reportedState_ == kCallOutgoing || reportedState_ == kCallIntercom ||
       reportedState_ == kCallFarRinging)) {
    earlyReported_ = true;
    events_->EarlyMedia();
  }
  if (reportedState_ == kCallIncoming && command_ != kCommandAnswer) {
    if (ringsReported_ < ringCount_) {
      ++ringsReported_;
      if (events_->Ring(ringsReported_, ringsReported_ - 1)) Answer();
    }
  }
  const int32_t hold = (heldHere_ ? 1 : 0) + (heldThere_ ? 2 : 0);
  if (holdReported_.exchange(hold) != hold && reportedState_ == kCallConnected) {
    events_->HoldChanged();
  }
  if (dtmfPending_ && dtmfDone_) {
    dtmfPending_ = false;
    dtmfDone_ = false;
    events_->DtmfSent();
  }
  std::string digits;
  {
    std::lock_guard lock(digitsInLock_);
    digits.swap(digitsIn_);
  }
  for (char digit : digits) {
    if (reportedState_ == kCallConnected) events_->DtmfReceived(digit);
  }
}

}  // namespace quillet::sip
