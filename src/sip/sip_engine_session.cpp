// SPDX-License-Identifier: Apache-2.0
// SipEngine's session timer (the interval asked for and agreed, the refresh by UPDATE when
// the far end allows it and by re-INVITE otherwise, the end of a session nobody refreshed)
// and the far end's UPDATE.
#include "platform/tick.h"
#include "sip/call_extensions.h"
#include "sip/in_dialog.h"
#include "sip/sip_engine.h"
#include "sip/sip_log.h"
#include "sip/sip_transport.h"

namespace quillet::sip {

std::string SipEngine::sessionRequestLines() const {
  return "Session-Expires: " + std::to_string(sessionAsked_) +
         "\r\nMin-SE: " + std::to_string(minSessionSeconds_) + "\r\n";
}

bool SipEngine::raiseSessionInterval(const SipMessage& response) {
  const std::optional<uint32_t> least = parseMinSE(response.header(hdr::kMinSE));
  if (!least || *least <= sessionAsked_) {
    sipLogError("The far end refused our session interval without naming a longer one");
    return false;
  }
  sipLogInfo("The far end wants a session interval of at least " + std::to_string(*least) +
             " s; calling again with it");
  sessionAsked_ = *least;
  return true;
}

void SipEngine::startSessionTimerFrom(const SipMessage& response) {
  const std::string value = response.header(hdr::kSessionExpires);
  const std::optional<SessionExpires> agreed =
      value.empty() ? std::nullopt : parseSessionExpires(value);
  if (!agreed) {
    sessionTimer_.stop();
    return;
  }
  // The side that sent the request refreshes unless the answer names the other.
  const bool refreshHere = agreed->refresher != Refresher::Uas;
  sessionTimer_.start(agreed->seconds, refreshHere, platform::tickMs());
  sipLogInfo("Session timer: " + std::to_string(agreed->seconds) + " s, refreshed by " +
             (refreshHere ? "this side" : "the far end"));
}

std::string SipEngine::answerSessionLines(const SipMessage& request, bool start) {
  const std::optional<SessionExpires> answer =
      answerSessionTimer(request, sessionSeconds_, minSessionSeconds_);
  if (!answer) {
    if (start) sessionTimer_.stop();  // a request without one turns the timer off
    return {};
  }
  if (start) {
    sessionTimer_.start(answer->seconds, answer->refresher == Refresher::Uas, platform::tickMs());
    refreshFailed_ = false;
  }
  return sessionTimerLines(request, *answer);
}

bool SipEngine::keepSession() {
  const uint32_t now = platform::tickMs();
  if (sessionTimer_.expired(now)) {
    sipLogInfo("The session was not refreshed in time; the call ends");
    return false;
  }
  if (!sessionTimer_.refreshDue(now) || refreshFailed_) return true;
  sipLogInfo("Refreshing the session...");
  const DialogSide side = genericSide(*call_);
  const std::string lines =
      "Session-Expires: " + std::to_string(sessionTimer_.seconds()) + ";refresher=uac\r\n";
  if (call_->updateAllowed) {
    // An UPDATE without SDP: the media stay as they are.
    const UpdateOutcome outcome = sendUpdate(side, lines + "Supported: timer\r\n");
    if (outcome.is2xx()) {
      startSessionTimerFrom(*outcome.response);
      return true;
    }
    if (outcome.status != 405 && outcome.status != 501) return refreshRefused(outcome.status);
    sipLogInfo(
        "The far end does not take UPDATE after all; the session is refreshed by "
        "re-INVITE");
    call_->updateAllowed = false;
  }
  offerPending_ = true;
  const InviteOutcome outcome = reInvite(side, media_->makeOffer(wantedDirection()), lines);
  offerPending_ = false;
  if (!outcome.is2xx()) return refreshRefused(outcome.status);
  acknowledge(side, outcome);
  if (!media_->takeAnswer(outcome.sdp())) {
    sipLogError("The far end's answer to the refresh cannot be used; the media stay as before");
  }
  startSessionTimerFrom(*outcome.response);
  noteFarDirection();
  return true;
}

bool SipEngine::refreshRefused(int32_t status) {
  // The call is over when the refresh timed out or the far end no longer knows the dialog.
  if (status == 408 || status == 481 || status == 487 || !call_->established) {
    sipLogInfo("The session refresh failed (" + std::to_string(status) + "); the call ends");
    return false;
  }
  sipLogInfo("The session refresh was refused (" + std::to_string(status) +
             "); the call goes on until the session expires");
  refreshFailed_ = true;
  return true;
}

bool SipEngine::onUpdate(SipCall& call, const SipMessage& update) {
  if (&call != call_.get() || !call.established) {
    return answerInDialog(transport_, call, update, [this] { return media_->capabilityOffer(); });
  }
  const bool hasOffer = update.hasBody("application/sdp");
  // Our own offer waits for its answer: the far end tries again after its back-off.
  if (hasOffer && offerPending_) {
    transport_.sendResponse(update, simpleResponse(491, call.localTag));
    return true;
  }
  if (const std::string lines = sessionTooShortLines(update, minSessionSeconds_); !lines.empty()) {
    ResponseSpec form = simpleResponse(422, call.localTag);
    form.extraHeaders = lines;
    transport_.sendResponse(update, form);
    return true;
  }
  std::string body;
  if (hasOffer && !media_->takeOffer(update.body("application/sdp"), wantedDirection(), body)) {
    sipLogError("The far end's UPDATE offers media that cannot be used; refused");
    transport_.sendResponse(update, simpleResponse(488, call.localTag));
    return true;
  }
  const std::string contact = contactFor(update);
  const std::string lines = answerSessionLines(update, true);
  ResponseSpec form = simpleResponse(200, call.localTag);
  form.contact = contact;
  form.extraHeaders = lines;
  if (hasOffer) {
    form.contentType = "application/sdp";
    form.body = body;
  }
  transport_.sendResponse(update, form);
  if (hasOffer) noteFarDirection();
  return true;
}

}  // namespace quillet::sip
