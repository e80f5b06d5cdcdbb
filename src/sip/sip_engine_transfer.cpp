// SPDX-License-Identifier: Apache-2.0
// SipEngine's transfers and joins: REFER as transferor and transferee with its NOTIFYs, the
// re-INVITE that connects two calls, and the hand-over of a call between engines.
#include <algorithm>

#include "platform/tick.h"
#include "sip/call_bridge.h"
#include "sip/dialog_reaper.h"
#include "sip/in_dialog.h"
#include "sip/sip_engine.h"
#include "sip/sip_engine_util.h"
#include "sip/sip_log.h"
#include "sip/sip_templates.h"
#include "sip/sip_transport.h"
#include "sip/sip_uri.h"

namespace quillet::sip {

TransferCheck SipEngine::checkTransfer(std::string_view target, std::string_view server) const {
  if (callState_ != kCallConnected) return TransferCheck::NoCall;
  if (!isDialable(target)) return TransferCheck::Invalid;
  if (server.empty() && target.find('@') == std::string_view::npos) {
    return TransferCheck::NoServer;
  }
  return TransferCheck::Ready;
}

void SipEngine::Transfer(std::string_view target) {
  const std::string text(target);
  sipLogInfo("Transferring sip call to: " + text);
  switch (checkTransfer(text)) {
    case TransferCheck::NoCall:
      // Only a connected call can be referred; a command left over would fire on answering.
      sipLogError("There is no connected call to transfer.");
      return;
    case TransferCheck::Invalid:
      // A target that cannot be addressed is not referred to: the call goes on.
      sipLogError("Error sip address or phone number is invalid: " + text);
      return;
    case TransferCheck::NoServer:
      sipLogError("No server specified in the address or phone number: " + text);
      sipLogError("You must either...");
      sipLogError("put a server in the address, for example 1234@sip.example.com, or");
      sipLogError("Specify a server for this line in Settings.");
      return;
    case TransferCheck::Ready:
      break;
  }
  if (command_ == kCommandTransfer) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  {
    std::lock_guard lock(transferLock_);
    transferTarget_ = dialToNameAddr(text, line_.server);
  }
  transferOutcome_ = TransferOutcome::Pending;
  command_ = kCommandTransfer;
  commandEvent_.set();
}

bool SipEngine::transferByReInvite(const std::string& target) {
  sipLogInfo("The far end refused the transfer; calling the target");
  std::unique_ptr<SipCall> setAside = std::move(call_);
  call_ = makeOutgoingCall(target);
  transport_.registerCall(call_.get());
  if (!placeInvite(0, {}, false)) {
    // The call goes on with the party that was to be transferred.
    if (call_) transport_.reaper().handOver(std::move(call_));
    call_ = std::move(setAside);
    return false;
  }
  return connectByReInvite(std::move(setAside));
}

bool SipEngine::connectByReInvite(std::unique_ptr<SipCall> second) {
  const DialogSide first = genericSide(*call_);
  // The first party's offer, without one of ours, goes to the second party.
  const InviteOutcome offer = reInviteWithGlare(first, std::nullopt);
  const std::string offered = offer.sdp();
  if (!offer.is2xx() || offered.empty()) {
    acknowledge(first, offer);
    transport_.reaper().handOver(std::move(second));
    setRemote(call_->remoteNameAddr);
    return false;
  }
  const DialogSide other = genericSide(*second);
  const InviteOutcome answer = reInviteWithGlare(other, offered);
  const std::string answered = answer.sdp();
  if (answer.is2xx() && !answered.empty()) {
    acknowledge(other, answer);
    acknowledge(first, offer, answered);
    sipLogInfo("The two parties are connected to each other");
    transferOutcome_ = TransferOutcome::Done;
    CallBridge::launch(std::make_unique<CallBridge>(transport_, std::move(call_), std::move(second),
                                                    media_->capabilityOffer(), bridgeQuietMs_));
    return true;
  }
  if (answer.is2xx()) {
    // The second party kept its media: the first one talks with this side from now on.
    acknowledge(other, answer);
    std::string ours;
    if (!media_->takeOffer(offered, media::MediaDirection::SendRecv, ours)) {
      sipLogError("Incoming connection does not support proper SIP codecs");
    }
    acknowledge(first, offer, ours);
    transport_.reaper().handOver(std::move(second));
    setRemote(call_->remoteNameAddr);
    return false;
  }
  // The second party refused: the first is let go, and the second gets this side's media
  // again, as this side's media now points at the first.
  acknowledge(first, offer);
  transport_.reaper().handOver(std::move(call_));
  call_ = std::move(second);
  setRemote(call_->remoteNameAddr);
  const DialogSide back = genericSide(*call_);
  const InviteOutcome again =
      reInviteWithGlare(back, media_->makeOffer(media::MediaDirection::SendRecv));
  if (!again.is2xx()) return true;
  const bool taken = media_->takeAnswer(again.sdp());
  acknowledge(back, again);
  return !taken;
}

void SipEngine::settleTransfer() {
  TransferOutcome pending = TransferOutcome::Pending;
  transferOutcome_.compare_exchange_strong(pending, TransferOutcome::Failed);
}

void SipEngine::Join(std::shared_ptr<SipEngine> other) {
  sipLogInfo("Joining the calls of two lines");
  if (other == nullptr || other.get() == this || callState_ != kCallConnected) {
    sipLogError("There are no two connected calls to join.");
    return;
  }
  {
    std::lock_guard lock(transferLock_);
    joinTarget_ = std::move(other);
  }
  transferOutcome_ = TransferOutcome::Pending;
  command_ = kCommandJoin;
  commandEvent_.set();
}

std::unique_ptr<SipCall> SipEngine::takeHandedOver() {
  std::lock_guard lock(handOverLock_);
  return std::move(handedOver_);
}

bool SipEngine::joinWith(SipEngine& other) {
  const bool sameLine = equalsNoCase(other.line_.server, line_.server) &&
                        equalsNoCase(other.line_.userName, line_.userName);
  other.handOverDone_.reset();
  if (other.callState_ == kCallIdle) {
    sipLogError("There are no two connected calls to join.");
    return false;
  }
  other.handOverRequest_ = true;
  other.command_ = kCommandHandOver;
  other.commandEvent_.set();
  base::WaitForEventOrStop(*this, other.handOverDone_, kHandOverWaitMs);
  other.handOverRequest_ = false;
  std::unique_ptr<SipCall> taken = other.takeHandedOver();
  if (!taken) {
    sipLogError("The other line did not hand its call over.");
    return false;
  }
  if (sameLine) {
    // The far end of this call replaces the other call by calling its far end.
    const std::string replaces = uriEscape(
        taken->callId + ";to-tag=" + tagOf(taken->remoteNameAddr) + ";from-tag=" + taken->localTag);
    SipUri uri = parseUri(parseNameAddr(taken->remoteNameAddr).uri);
    uri.params.clear();
    uri.headers.clear();
    if (referAsTransferor("<" + printUri(uri) + "?Replaces=" + replaces + ">")) {
      transport_.reaper().handOver(std::move(taken));
      transferOutcome_ = TransferOutcome::Done;
      return true;
    }
  }
  return connectByReInvite(std::move(taken));
}

namespace {

// The status of a "message/sipfrag" body ("SIP/2.0 180 Ringing" gives 180; 0 when none).
int32_t sipfragStatus(std::string_view body) {
  size_t at = body.find_first_not_of(" \t\r\n");
  if (at == std::string_view::npos) return 0;
  at = body.find_first_of(" \t", at);
  if (at == std::string_view::npos) return 0;
  at = body.find_first_not_of(" \t", at);
  int32_t status = 0;
  while (at < body.size() && body[at] >= '0' && body[at] <= '9' && status < 1000) {
    status = status * 10 + (body[at++] - '0');
  }
  return status;
}

}  // namespace

bool SipEngine::glareBackOff() {
  SipCall& call = *call_;
  return waitGlareBackOff(
      DialogSide{transport_, call, stopEvent(),
                 [this](const SipMessage& request) { return inCallRequest(request); }});
}

bool SipEngine::referAsTransferor(const std::string& referTo) {
  // A line without a server is known by its public address, as in its From.
  std::string referredBy = addressOfRecord_;
  if (!referredBy.empty() && referredBy.back() == '@') {
    const PublicAddress pub = transport_.publicAddress();
    referredBy += pub.address + ":" + std::to_string(pub.port);
  }
  auto newRefer = [&] {
    DialogRequest refer = newDialogRequest(*call_, transport_, "REFER");
    refer.request.text = buildRefer(refer.request, refer.context(), referTo, referredBy);
    return refer;
  };
  DialogRequest refer = newRefer();
  uint32_t start = platform::tickMs();
  bool accepted = false;
  for (;;) {
    if (!accepted) transport_.send(refer.request.destination, refer.request.text);
    std::optional<SipMessage> message = transport_.takeMessage(
        *call_, accepted ? 3000 : static_cast<int32_t>(kInviteResendMs), {&stopEvent()});
    if (stopRequested()) return true;
    if (message && message->isResponse() && cseqMatches(*message, refer.request.cseq, "REFER")) {
      if (message->status >= 300 && message->status != 491) return false;
      if (message->status == 491) {
        if (!glareBackOff()) return true;  // the call ended meanwhile
        refer = newRefer();
        accepted = false;
        start = platform::tickMs();
        continue;
      }
      if (!accepted) start = platform::tickMs();
      accepted = true;
    } else if (message && message->isRequest()) {
      const std::string& method = message->method;
      const std::string& tag = call_->localTag;
      if (method == "INVITE" || method == "REFER") {
        transport_.sendResponse(*message, simpleResponse(accepted ? 500 : 491, tag));
      } else if (method == "BYE") {
        transport_.sendResponse(*message, simpleResponse(200, tag));
        call_->established = false;
        return true;
      } else if (method == "NOTIFY") {
        transport_.sendResponse(*message, simpleResponse(200, tag));
        const int32_t status = sipfragStatus(message->body("message/sipfrag"));
        if (status >= 200 && status <= 299) return true;
        if (status < 100 || status > 199) return false;
      } else if (method != "ACK") {
        transport_.sendResponse(*message, simpleResponse(405, tag));
      }
    }
    const uint32_t limit = accepted ? kReferAcceptedLimitMs : kReferAcceptLimitMs;
    if (since(platform::tickMs(), start) >= static_cast<int32_t>(limit)) return false;
  }
}

bool SipEngine::inCallRequest(const SipMessage& request) {
  if (request.method == "INVITE") {
    if (!request.header(hdr::kReplaces).empty()) {
      // This call is being replaced by the caller of that INVITE.
      std::unique_ptr<SipCall> replacing =
          callFromInvite(request, transport_, line_.userName, line_.authUser, line_.password);
      replacing->transport = call_->transport;
      replacing->tls = call_->tls;
      transport_.registerCall(replacing.get());
      transport_.reaper().handOver(std::move(call_));
      call_ = std::move(replacing);
      setRemote(call_->remoteNameAddr);
      return acceptInvite(request, *call_);
    }
    const std::string contact = request.header(hdr::kContact);
    if (!contact.empty()) call_->remoteTarget = parseNameAddr(contact).uri;
    return acceptInvite(request, *call_);
  }
  if (request.method == "REFER") return onRefer(request);
  return inDialogRequest(*call_, request);
}

bool SipEngine::onRefer(const SipMessage& refer) {
  const std::string referTo = refer.header(hdr::kReferTo);
  SipUri uri = parseUri(parseNameAddr(referTo).uri);
  if (uri.host.empty()) {
    // Nobody to call: refused, the call goes on.
    sipLogError("Refused a REFER without a usable Refer-To: " + referTo);
    transport_.sendResponse(refer, simpleResponse(400, call_->localTag));
    return true;
  }
  transport_.sendResponse(refer, simpleResponse(202, call_->localTag));
  // The implicit subscription's first NOTIFY comes at once (the transferor may wait for it).
  if (notifyTransferor(*call_, 100) == 487) return false;
  std::string replaces;
  for (const Param& header : uri.headers) {
    if (equalsNoCase(header.name, "Replaces")) replaces = unescape(header.value);
  }
  uri.params.clear();
  uri.headers.clear();
  const std::string target = "<" + printUri(uri) + ">";
  sipLogInfo("Transferred by the far end to: " + target);

  std::unique_ptr<SipCall> old = std::move(call_);
  call_ = makeOutgoingCall(target);
  transport_.registerCall(call_.get());
  const bool placed = placeInvite(0, replaces, true);
  if (placed) {
    notifyTransferor(*old, 200);
    transport_.reaper().handOver(std::move(old));
    setRemote(call_->remoteNameAddr);
    setState(kCallConnected);
    return true;
  }
  // The old call goes on; an attempt that failed plainly left its dialog here.
  if (call_) transport_.reaper().handOver(std::move(call_));
  call_ = std::move(old);
  setState(kCallConnected);
  return notifyTransferor(*call_, 503) != 487;
}

int32_t SipEngine::notifyTransferor(SipCall& call, int32_t status) {
  DialogRequest notify = newDialogRequest(call, transport_, "NOTIFY");
  notify.request.text = buildNotify(notify.request, notify.context(), status, reasonPhrase(status));
  const uint32_t start = platform::tickMs();
  bool provisional = false;
  for (;;) {
    const int32_t left = static_cast<int32_t>(kNotifyWaitMs) - since(platform::tickMs(), start);
    if (left <= 0) return 0;
    if (!provisional) transport_.send(notify.request.destination, notify.request.text);
    std::optional<SipMessage> message = transport_.takeMessage(
        call, provisional ? left : std::min(left, static_cast<int32_t>(kInviteResendMs)),
        {&stopEvent()});
    if (stopRequested()) return 0;
    if (!message) continue;
    if (message->isRequest()) {
      // The transferor may say goodbye before our NOTIFY is answered.
      if (!inDialogRequest(call, *message)) return 0;
    } else if (cseqMatches(*message, notify.request.cseq, "NOTIFY")) {
      if (message->status >= 200) return message->status;
      provisional = true;
    }
  }
}

}  // namespace quillet::sip
