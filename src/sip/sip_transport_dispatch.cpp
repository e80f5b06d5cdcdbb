// SPDX-License-Identifier: Apache-2.0
// SipTransport's reception: a received message is checked, then handed to the call it
// belongs to, answered from the response cache, or dispatched to the engines (INVITE,
// OPTIONS) and registrations.
#include <algorithm>

#include "platform/tick.h"
#include "sip/auto_answer.h"
#include "sip/dialog_reaper.h"
#include "sip/message_check.h"
#include "sip/sip_engine.h"
#include "sip/sip_log.h"
#include "sip/sip_trace.h"
#include "sip/sip_transport.h"
#include "sip/sip_uri.h"
#include "sip/sip_via.h"

namespace quillet::sip {

namespace {

// The method named in a message's CSeq ("" when none).
std::string cseqMethod(const SipMessage& message) {
  const std::string cseq = message.header(hdr::kCSeq);
  const size_t blank = cseq.find_last_of(" \t");
  return blank == std::string::npos ? std::string() : cseq.substr(blank + 1);
}

}  // namespace

void SipTransport::handleMessage(std::string_view text, const platform::SocketAddress& from,
                                 TransportKind transport, uint64_t connection) {
  if (trace_) trace_->traceReceived(from, text, transport);
  std::optional<SipMessage> parsed = SipMessage::parse(text);
  if (!parsed) {
    ++dropped_;
    return;
  }
  SipMessage& message = *parsed;
  message.source = from;
  message.transport = transport;
  message.connection = connection;
  if (message.isRequest()) stampTopVia(message, from);
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
  const uint32_t now = platform::tickMs();
  if (!registrations_.onResponse(message, now) && !mailboxes_.onResponse(message, now) &&
      !notifier_.onResponse(message))
    ++dropped_;
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
  sipLogError("Refused " + message.method + " from " + message.source.toString() + " with " +
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
      // The dialog is named by its Call-ID and both tags; our tag is its to-tag.
      const ReplacesTarget replaced = parseReplaces(replaces);
      std::lock_guard lock(callLock_);
      for (SipCall* call : calls_) {
        if (call->isDialog(replaced.callId, replaced.toTag, replaced.fromTag)) {
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
  } else if (method == "SUBSCRIBE") {
    answerSubscribe(request);
  } else if (method == "REGISTER") {
    answer(501);
  } else if (method == "NOTIFY") {
    const int32_t status = mailboxes_.onNotify(request, platform::tickMs());
    answer(status != 0 ? status : 481);
  } else if (method == "REFER" || method == "INFO") {
    answer(481);
  } else if (method == "ACK") {
    // nothing to answer
  } else if (method == "BYE" || method == "CANCEL") {
    answer(481);  // no call or INVITE of ours has that Call-ID and tag
  } else {
    answer(501);
  }
}

void SipTransport::answerSubscribe(const SipMessage& request) {
  notifier_.onSubscribe(request, newTag(), platform::tickMs(), [&](const SubscribeAnswer& answer) {
    ResponseSpec form;
    form.status = answer.status;
    form.reason = reasonPhrase(answer.status);
    form.toTag = answer.toTag;
    std::string extra = answer.extraHeaders;
    if (answer.status == 200) extra += "Expires: " + std::to_string(answer.expires) + "\r\n";
    form.extraHeaders = extra;
    sendResponse(request, form);
  });
}

// A call's state as a dialog's: ringing either way is early (trying before the far end
// rings), an answered call confirmed.
void SipTransport::publishLineState(uint32_t nowMs) {
  std::vector<DialogEntry> dialogs;
  {
    std::lock_guard lock(engineLock_);
    for (size_t i = 0; i < engines_.size(); ++i) {
      const int32_t state = engines_[i]->callState();
      if (state == kCallIdle) continue;
      DialogEntry d;
      d.id = "line" + std::to_string(i + 1);
      d.direction = state == kCallOutgoing || state == kCallFarRinging ? "initiator" : "recipient";
      d.state = state == kCallConnected ? "confirmed" : state == kCallOutgoing ? "trying" : "early";
      dialogs.push_back(std::move(d));
    }
  }
  if (doNotDisturb_) dialogs.push_back({std::string(kDoNotDisturbId), "confirmed", {}, true});
  notifier_.setDialogs(std::move(dialogs), nowMs);
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
