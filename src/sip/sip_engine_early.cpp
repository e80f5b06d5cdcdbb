// SPDX-License-Identifier: Apache-2.0
// SipEngine before a call is answered: the early media of an outgoing call, the PRACK of
// the far end's reliable provisional responses, and the reliable 180 of an incoming call.
#include <algorithm>

#include "platform/tick.h"
#include "sip/call_extensions.h"
#include "sip/dialog_reaper.h"
#include "sip/sip_engine.h"
#include "sip/sip_engine_util.h"
#include "sip/sip_log.h"
#include "sip/sip_transport.h"
#include "sip/sip_uri.h"

namespace quillet::sip {

namespace {

// The "o=" line of an SDP: an unchanged version there means an unchanged session.
std::string_view originLine(std::string_view sdp) {
  size_t at = 0;
  if (sdp.substr(0, 2) != "o=") {
    at = sdp.find("\no=");
    if (at == std::string_view::npos) return {};
    ++at;
  }
  const std::string_view line = sdp.substr(at);
  return trimmed(line.substr(0, line.find('\n')));
}

}  // namespace

void SipEngine::takeProvisional(const SipMessage& response, uint32_t inviteCSeq,
                                PrackState& prack) {
  if (tagOf(response.header(hdr::kTo)).empty()) return;  // no early dialog without a tag
  const bool reliable = requiresOption(response, "100rel");
  std::optional<uint32_t> number;
  if (reliable) {
    number = parseRSeq(response.header(hdr::kRSeq));
    if (!number) {
      sipLogError("A reliable provisional response without a usable RSeq was ignored");
      return;
    }
    // A resend of one acknowledged already, or one out of order: nothing to take.
    if (prack.lastNumber != 0 && *number != prack.lastNumber + 1) return;
  }
  // The early dialog: where its requests (PRACK) go.
  SipCall& call = *call_;
  call.remoteNameAddr = response.header(hdr::kTo);
  const std::string contact = response.header(hdr::kContact);
  if (!contact.empty()) call.remoteTarget = parseNameAddr(contact).uri;
  const std::vector<std::string> recordRoute = response.headerValues(hdr::kRecordRoute);
  if (!recordRoute.empty()) {
    call.routeSet = routeSetFromResponse(recordRoute);
    call.presetRoute = false;
  }
  if (response.hasBody("application/sdp") && callState_ != kCallConnected) {
    takeEarlyMedia(response.body("application/sdp"));
  }
  if (!reliable) return;
  prack.lastNumber = *number;
  DialogRequest request = newDialogRequest(call, transport_, "PRACK");
  const std::string rack =
      "RAck: " + std::to_string(*number) + " " + std::to_string(inviteCSeq) + " INVITE\r\n";
  request.request.text = buildRequest(request.request, request.context(), false, rack, {}, {});
  const uint32_t now = platform::tickMs();
  prack.request = std::move(request);
  prack.startMs = now;
  prack.nextMs = now;
  prack.intervalMs = DialogReaper::kResendStartMs;
  drivePrack(prack, nullptr);
}

void SipEngine::drivePrack(PrackState& prack, const SipMessage* response) {
  if (!prack.request) return;
  const SipRequest& request = prack.request->request;
  if (response != nullptr && response->status >= 200 &&
      cseqMatches(*response, request.cseq, "PRACK")) {
    if (response->status >= 300) {
      sipLogInfo("The far end refused our PRACK (" + std::to_string(response->status) + ")");
    }
    prack.request.reset();
    return;
  }
  const uint32_t now = platform::tickMs();
  if (since(now, prack.startMs) >= static_cast<int32_t>(DialogReaper::kByeForMs)) {
    sipLogInfo("Our PRACK was never answered; the call waits for its answer without it");
    prack.request.reset();
    return;
  }
  if (since(now, prack.nextMs) < 0) return;
  transport_.send(request.destination, request.text);
  // Timer E: T1 doubling up to T2; a connection carries it once.
  const bool once = request.destination.transport != TransportKind::Udp;
  prack.nextMs = once ? now + DialogReaper::kByeForMs : now + prack.intervalMs;
  prack.intervalMs = std::min(prack.intervalMs * 2, DialogReaper::kResendMostMs);
}

int32_t SipEngine::prackWaitMs(const PrackState& prack, int32_t otherwise) {
  if (!prack.request) return otherwise;
  const int32_t left = since(prack.nextMs, platform::tickMs());
  return std::clamp(left, 1, otherwise);
}

void SipEngine::takeEarlyMedia(const std::string& sdp) {
  if (originLine(sdp) == originLine(earlySdp_) && !earlySdp_.empty()) return;
  if (!media_->takeAnswer(sdp)) {
    sipLogError("The far end's early media cannot be used; waiting for its answer");
    return;
  }
  earlySdp_ = sdp;
  if (earlyMedia_) {
    sipLogInfo("The far end's early media changed");
    return;
  }
  media_->start();
  earlyMedia_ = true;
  sipLogInfo("The far end sends audio before answering (early media)");
  postNotify();
}

bool SipEngine::takeFinalAnswer(const SipMessage& response) {
  if (!response.hasBody("application/sdp")) return true;  // what was taken stands
  const std::string& sdp = response.body("application/sdp");
  if (!earlySdp_.empty()) {
    if (originLine(sdp) == originLine(earlySdp_)) return true;  // the same stream goes on
    sipLogInfo("The answer's media differ from the early media's; the call switches to them");
  }
  return media_->takeAnswer(sdp);
}

void SipEngine::sendRinging() {
  if (!reliableRinging_) {
    transport_.sendResponse(*invite_, simpleResponse(180, call_->localTag));
    return;
  }
  const uint32_t now = platform::tickMs();
  if (!reliable_.begun()) reliable_.begin(now);
  if (!reliable_.due(now)) return;
  const std::string contact = contactFor(*invite_);
  const std::string lines =
      "Require: 100rel\r\nRSeq: " + std::to_string(reliable_.number()) + "\r\n";
  ResponseSpec form = simpleResponse(180, call_->localTag);
  form.contact = contact;
  form.withAllow = true;
  form.extraHeaders = lines;
  transport_.sendResponse(*invite_, form);
}

bool SipEngine::answerPrack(SipCall& call, const SipMessage& prack) {
  const std::optional<RAck> rack = parseRAck(prack.header(hdr::kRAck));
  const bool ours = rack && &call == call_.get() && reliable_.begun() &&
                    rack->responseNumber == reliable_.number() && rack->method == "INVITE" &&
                    rack->cseq == static_cast<uint32_t>(decimalValue(call.inviteCSeq));
  if (!ours) {
    transport_.sendResponse(prack, simpleResponse(481, call.localTag));
    return true;
  }
  if (reliable_.acknowledge(*rack, rack->cseq)) sipLogInfo("The caller acknowledged the ringing");
  transport_.sendResponse(prack, simpleResponse(200, call.localTag));
  return true;
}

}  // namespace quillet::sip
