// SPDX-License-Identifier: Apache-2.0
// CallBridge: relaying between two bridged remote parties on a worker of its own.
#include "sip/call_bridge.h"

#include "platform/event.h"
#include "sip/dialog_reaper.h"
#include "sip/sip_log.h"
#include "sip/sip_transport.h"
#include "sip/sip_uri.h"

namespace quillet::sip {

CallBridge::CallBridge(SipTransport& transport, std::unique_ptr<SipCall> first,
                       std::unique_ptr<SipCall> second, std::string capabilityOffer,
                       uint32_t quietProbeMs)
    : transport_(transport),
      calls_{std::move(first), std::move(second)},
      capabilityOffer_(std::move(capabilityOffer)),
      quietProbeMs_(quietProbeMs) {}

CallBridge::~CallBridge() {
  Stop();
  endBoth();
}

bool CallBridge::launch(std::unique_ptr<CallBridge> bridge) {
  return base::DetachedWorkerList::global().StartDetached(std::move(bridge),
                                                          platform::kPriorityNormal);
}

void CallBridge::endBoth() {
  for (auto& call : calls_) {
    if (call) transport_.reaper().handOver(std::move(call));
  }
}

DialogSide CallBridge::side(size_t index) {
  SipCall& call = *calls_[index];
  return DialogSide{transport_, call, stopEvent(), [this, &call](const SipMessage& request) {
                      return answerInDialog(transport_, call, request,
                                            [this] { return capabilityOffer_; });
                    }};
}

void CallBridge::Run() {
  sipLogInfo("Bridging the two parties of the transfer");
  while (!stopRequested() && calls_[0]->established && calls_[1]->established) {
    bool over = false;
    for (size_t i = 0; i < 2 && !over; ++i) {
      std::optional<SipMessage> message = transport_.takeMessage(*calls_[i], 0);
      if (message && message->isRequest()) over = !relay(i, *message);
    }
    if (over) break;
    std::array<platform::Event*, 2> events{&calls_[0]->messageEvent(), &calls_[1]->messageEvent()};
    const base::WaitResult waited =
        base::WaitForAnyOrStop(*this, events, static_cast<int32_t>(quietProbeMs_));
    if (waited == base::WaitResult::StopRequested) break;
    if (waited == base::WaitResult::TimedOut && (!peerAlive(side(0)) || !peerAlive(side(1)))) {
      sipLogInfo("A bridged party no longer answers");
      break;
    }
  }
  sipLogInfo("Bridge ended");
  endBoth();
}

bool CallBridge::relay(size_t from, const SipMessage& request) {
  SipCall& call = *calls_[from];
  const std::string& method = request.method;
  if (method == "INVITE") return relayInvite(from, request);
  if (method == "REFER") {
    transport_.sendResponse(request, simpleResponse(405, call.localTag));
    return true;
  }
  if (method == "OPTIONS") {
    relayOptions(from, request);
    return true;
  }
  return side(from).onRequest(request);
}

void CallBridge::relayOptions(size_t from, const SipMessage& options) {
  const OptionsOutcome outcome = askOptions(side(1 - from), kOptionsLimitMs);
  ResponseSpec form = simpleResponse(outcome.status, calls_[from]->localTag);
  if (outcome.status != 408 && outcome.status != 487) form.reason = outcome.reason;
  if (outcome.status == 200 && !outcome.sdp.empty()) {
    form.contentType = "application/sdp";
    form.body = outcome.sdp;
  }
  transport_.sendResponse(options, form);
}

bool CallBridge::relayInvite(size_t from, const SipMessage& invite) {
  const size_t to = 1 - from;
  std::optional<std::string> offer;
  if (invite.hasBody("application/sdp")) offer = invite.body("application/sdp");
  const InviteOutcome outcome = reInviteWithGlare(side(to), offer);
  if (!outcome.response) {
    holdFinalResponse(side(from), invite, simpleResponse(408, calls_[from]->localTag), nullptr);
    return false;
  }
  if (!invite.header(hdr::kReplaces).empty()) {
    // The requester's party is replaced by the caller of this INVITE.
    const SipCall& old = *calls_[from];
    std::unique_ptr<SipCall> replacing =
        callFromInvite(invite, transport_, old.user, old.authUser, old.password);
    replacing->transport = old.transport;
    replacing->tls = old.tls;
    transport_.registerCall(replacing.get());
    replacing->established = true;
    transport_.reaper().handOver(std::move(calls_[from]));
    calls_[from] = std::move(replacing);
  } else {
    const std::string contact = invite.header(hdr::kContact);
    if (!contact.empty()) calls_[from]->remoteTarget = parseNameAddr(contact).uri;
  }
  const std::string answer = outcome.sdp();
  const LocalContact local = transport_.localAddressFor(invite.replyTarget());
  const std::string contact =
      contactValue(calls_[from]->user, local.address, local.port, local.transport);
  ResponseSpec form = simpleResponse(outcome.status, calls_[from]->localTag);
  form.reason = outcome.response->reason;
  form.contact = contact;
  form.withAllow = true;
  if (!answer.empty()) {
    form.contentType = "application/sdp";
    form.body = answer;
  }
  std::optional<SipMessage> ack;
  holdFinalResponse(side(from), invite, form, &ack);
  std::string ackSdp;
  if (ack && ack->hasBody("application/sdp")) ackSdp = ack->body("application/sdp");
  acknowledge(side(to), outcome, ackSdp);
  return true;
}

}  // namespace quillet::sip
