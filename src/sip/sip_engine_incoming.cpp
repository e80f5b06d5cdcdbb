// SPDX-License-Identifier: Apache-2.0
// SipEngine's incoming calls: the facts and screening of an INVITE, ringing, and the answer.
#include <arpa/inet.h>

#include <algorithm>

#include "platform/tick.h"
#include "sip/call_extensions.h"
#include "sip/in_dialog.h"
#include "sip/sip_engine.h"
#include "sip/sip_engine_util.h"
#include "sip/sip_log.h"
#include "sip/sip_templates.h"
#include "sip/sip_transport.h"
#include "sip/sip_uri.h"

namespace quillet::sip {

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
  facts.sourceHost = invite.source.uriHost();  // as URIs write it: IPv6 in brackets
  const std::vector<std::string> asserted = invite.headerElements(kPAssertedIdentity);
  if (facts.viaProxy && !asserted.empty()) {
    facts.assertedIdentity = shownText(bareUri(parseNameAddr(asserted.front()).uri));
  }
  return facts;
}

IncomingResult SipEngine::incomingInvite(const SipMessage& invite) {
  if (callState_ != kCallIdle) return IncomingResult::Busy;
  if (const std::string lines = sessionTooShortLines(invite, minSessionSeconds_); !lines.empty()) {
    sipLogInfo("Refused a call whose session interval is below our minimum (422)");
    const std::string tag = transport_.newTag();
    ResponseSpec form = simpleResponse(422, tag);
    form.extraHeaders = lines;
    transport_.sendResponse(invite, form);
    return IncomingResult::Refused;
  }
  IncomingCallFacts facts = factsOf(invite);
  Screen screen;
  {
    std::lock_guard lock(engineLock_);
    screen = screen_;
  }
  const std::string caller = shownText(bareUri(parseNameAddr(invite.header(hdr::kFrom)).uri));
  // An engine that places calls only takes one where its screen lets it through (a call
  // that waits while the line's call is up).
  const IncomingScreen verdict = screen                  ? screen(*this, facts, caller)
                                 : line_.placesCallsOnly ? IncomingScreen{486, {}}
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

bool SipEngine::ringingLoop() {
  sipLogInfo("Incoming SIP call");
  const uint32_t start = platform::tickMs();
  for (;;) {
    sendRinging();
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
      if (left > 0) {
        // A reliable 180 is resent on its own schedule until its PRACK.
        const int32_t slice = std::min(left, std::max(reliable_.waitMs(platform::tickMs()), 1));
        message = transport_.takeMessage(*call_, slice, {&stopEvent(), &commandEvent_});
      }
      if (reliable_.pending()) sendRinging();
      if (reliable_.gaveUp(platform::tickMs())) {
        sipLogInfo("The caller never acknowledged the reliable ringing (no PRACK)");
        finalResponse(*invite_, *call_, simpleResponse(500, call_->localTag), nullptr);
        return false;
      }
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
      // The answer waits for the PRACK of the reliable 180.
      if (command_ == kCommandAnswer && !reliable_.pending()) {
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

bool SipEngine::refuseUnsafeMedia(const SipMessage& invite) {
  if (!invite.hasBody("application/sdp")) return false;
  // The offer is tried now so that a call whose media could not be safe never rings; it is
  // taken again when the call is answered.
  std::string unused;
  return !media_->takeOffer(invite.body("application/sdp"), media::MediaDirection::SendRecv,
                            unused) &&
         media_->refusalStatus() == 488;
}

bool SipEngine::acceptInvite(const SipMessage& invite, SipCall& call,
                             std::string_view extraHeaders) {
  // A re-INVITE asking for a session interval below ours is refused; the call goes on.
  if (const std::string lines = sessionTooShortLines(invite, minSessionSeconds_);
      call.established && !lines.empty()) {
    ResponseSpec form = simpleResponse(422, call.localTag);
    form.extraHeaders = lines;
    finalResponse(invite, call, form, nullptr);
    return call.established;
  }
  const bool hasOffer = invite.hasBody("application/sdp");
  std::string body;
  if (hasOffer) {
    if (!media_->takeOffer(invite.body("application/sdp"), wantedDirection(), body)) {
      if (media_->refusalStatus() != 488) {
        sipLogError("Incoming connection does not support proper SIP codecs");
      }
      // 488 whatever the reason: 415 would speak of the body's type, which was fine.
      finalResponse(invite, call, simpleResponse(488, call.localTag), nullptr);
      return false;
    }
  } else {
    body = media_->makeOffer(wantedDirection());
  }
  call.established = true;
  call.updateAllowed = allowsMethod(invite, "UPDATE");
  const std::string contact = contactFor(invite);
  const std::string headers = std::string(extraHeaders) + answerSessionLines(invite, true);
  ResponseSpec form = simpleResponse(200, call.localTag);
  form.contact = contact;
  form.withAllow = true;
  form.contentType = "application/sdp";
  form.body = body;
  form.extraHeaders = headers;
  std::optional<SipMessage> ack;
  if (finalResponse(invite, call, form, &ack) != 200 || !ack) return false;
  if (!hasOffer) {
    if (!ack->hasBody("application/sdp")) return false;
    if (!media_->takeAnswer(ack->body("application/sdp"))) {
      sipLogError("Incoming connection does not support proper SIP codecs");
      return false;
    }
  }
  noteFarDirection();
  return true;
}

}  // namespace quillet::sip
