// SPDX-License-Identifier: Apache-2.0
// Requests inside an established dialog: generic answers, held final responses, re-INVITE
// as a client with cancel and glare back-off, UPDATE, OPTIONS and the liveness probe.
#include "sip/in_dialog.h"

#include <algorithm>
#include <array>

#include "platform/tick.h"
#include "sip/sip_transport.h"
#include "sip/sip_uri.h"

namespace quillet::sip {

namespace {

int32_t since(uint32_t now, uint32_t then) {
  return static_cast<int32_t>(now - then);
}

bool containsNoCase(std::string_view text, std::string_view part) {
  if (part.size() > text.size()) return false;
  for (size_t i = 0; i + part.size() <= text.size(); ++i) {
    if (equalsNoCase(text.substr(i, part.size()), part)) return true;
  }
  return false;
}

// Hosts of providers whose servers leave in-call INFO and OPTIONS unanswered: probing them
// would end healthy bridged calls.
constexpr std::array<std::string_view, 2> kNoProbeHostFragments = {"gigaset.net", "fritz.box"};

// T2: the longest wait between two sends of a request other than INVITE.
constexpr int32_t kUpdateResendMostMs = 4000;

// Sends the ACK of a final response to our INVITE (the INVITE's branch for a non-2xx).
void sendAckFor(const DialogSide& side, const DialogRequest& invite, const SipMessage& response,
                std::string_view sdp) {
  DialogRequest ack = ackFor(invite, response, side.call, side.transport);
  ack.request.text = buildAck(ack.request, ack.context(), sdp);
  side.transport.sendAck(response, ack.request.destination, ack.request.text);
}

DialogRequest newInvite(const DialogSide& side, const std::optional<std::string>& sdp,
                        std::string_view extraLines) {
  DialogRequest invite = newDialogRequest(side.call, side.transport, "INVITE");
  invite.request.text =
      buildInvite(invite.request, invite.context(), {}, 0, sdp ? *sdp : "", extraLines);
  return invite;
}

}  // namespace

ResponseSpec simpleResponse(int32_t status, std::string_view toTag) {
  ResponseSpec form;
  form.status = status;
  form.reason = reasonPhrase(status);
  form.toTag = toTag;
  return form;
}

std::string InviteOutcome::sdp() const {
  if (!response || !response->hasBody("application/sdp")) return {};
  return response->body("application/sdp");
}

bool answerInDialog(SipTransport& transport, SipCall& call, const SipMessage& request,
                    const std::function<std::string()>& capabilityOffer) {
  const std::string& method = request.method;
  if (method.empty() || method == "ACK") return true;
  if (method == "BYE") {
    transport.sendResponse(request, simpleResponse(200, call.localTag));
    call.established = false;
    return false;
  }
  if (method == "OPTIONS") {
    const LocalContact local = transport.localAddressFor(request.replyTarget());
    const std::string contact = contactValue(call.user, local.address, local.port, local.transport);
    const std::string offer = capabilityOffer();
    ResponseSpec form = simpleResponse(200, call.localTag);
    form.contact = contact;
    form.withAllow = true;
    form.contentType = "application/sdp";
    form.body = offer;
    transport.sendResponse(request, form);
    return true;
  }
  if (method == "NOTIFY" || method == "CANCEL" || method == "INFO") {
    transport.sendResponse(request, simpleResponse(200, call.localTag));
  } else if (method == "INVITE" || method == "REFER") {
    transport.sendResponse(request, simpleResponse(491, call.localTag));
  } else if (method == "UPDATE") {
    // Here no media session takes an offer; a refresh without one is fine.
    const bool offer = request.hasBody("application/sdp");
    transport.sendResponse(request, simpleResponse(offer ? 488 : 200, call.localTag));
  } else if (method == "PRACK") {
    transport.sendResponse(request, simpleResponse(481, call.localTag));
  } else {
    transport.sendResponse(request, simpleResponse(501, call.localTag));
  }
  return true;
}

int32_t holdFinalResponse(const DialogSide& side, const SipMessage& invite,
                          const ResponseSpec& form, std::optional<SipMessage>* ack) {
  constexpr int32_t kResendMs = 350;
  constexpr int32_t kGiveUpMs = 8000;
  const uint32_t start = platform::tickMs();
  const int32_t inviteCSeq = decimalValue(invite.header(hdr::kCSeq));
  for (;;) {
    side.transport.sendResponse(invite, form);
    const uint32_t sliceStart = platform::tickMs();
    for (;;) {
      const int32_t left = kResendMs - since(platform::tickMs(), sliceStart);
      if (left <= 0) break;
      std::optional<SipMessage> message = side.transport.takeMessage(side.call, left, {&side.stop});
      if (!message) break;
      if (!message->isRequest()) continue;
      if (message->method == "ACK") {
        if (decimalValue(message->header(hdr::kCSeq)) != inviteCSeq) continue;
        if (ack) *ack = std::move(message);
        return 200;
      }
      if (!side.onRequest(*message)) return 487;
    }
    if (side.stop.isSet() || since(platform::tickMs(), start) >= kGiveUpMs) return 408;
  }
}

InviteOutcome reInvite(const DialogSide& side, const std::optional<std::string>& sdp,
                       std::string_view extraLines) {
  InviteOutcome outcome;
  outcome.invite = newInvite(side, sdp, extraLines);
  DialogRequest& invite = outcome.invite;
  uint32_t start = platform::tickMs();
  bool provisional = false;
  for (;;) {
    if (!provisional) side.transport.send(invite.request.destination, invite.request.text);
    std::optional<SipMessage> message = side.transport.takeMessage(
        side.call, provisional ? 3000 : static_cast<int32_t>(kReInviteResendMs), {&side.stop});
    if (message && message->isResponse() && cseqMatches(*message, invite.request.cseq, "INVITE")) {
      const int32_t status = message->status;
      if (status >= 100 && status <= 199) {
        provisional = true;
      } else if (status >= 200) {
        if (status >= 300) sendAckFor(side, invite, *message, {});
        if ((status == 401 || status == 407) &&
            authenticateRequest(invite.request, *message, side.call.authUser, side.call.password)) {
          invite.request.cseq = side.call.nextCSeq();
          invite.request.branch = side.transport.newBranch();
          invite.request.text =
              buildInvite(invite.request, invite.context(), {}, 0, sdp ? *sdp : "", extraLines);
          start = platform::tickMs();
          provisional = false;
          continue;
        }
        outcome.status = status;
        outcome.response = std::move(message);
        return outcome;
      }
    } else if (message && message->isRequest() && !side.onRequest(*message)) {
      InviteOutcome cancelled = cancelInvite(side, invite, provisional);
      cancelled.status = 487;
      cancelled.response.reset();
      return cancelled;
    }
    const uint32_t limit = provisional ? kReInviteAfterProvisionalMs : kReInviteNoAnswerMs;
    if (side.stop.isSet() || since(platform::tickMs(), start) >= static_cast<int32_t>(limit)) {
      InviteOutcome cancelled = cancelInvite(side, invite, provisional);
      // A 2xx crossing the CANCEL still made the change; anything else is a time-out.
      if (!cancelled.is2xx()) {
        cancelled.status = 408;
        cancelled.response.reset();
      }
      return cancelled;
    }
  }
}

InviteOutcome reInviteWithGlare(const DialogSide& side, const std::optional<std::string>& sdp) {
  for (;;) {
    InviteOutcome outcome = reInvite(side, sdp);
    if (outcome.status != 491) return outcome;
    if (!waitGlareBackOff(side)) {
      outcome.status = 487;
      outcome.response.reset();
      return outcome;
    }
  }
}

InviteOutcome cancelInvite(const DialogSide& side, const DialogRequest& invite, bool provisional) {
  InviteOutcome outcome;
  outcome.invite = invite;
  DialogRequest cancel = cancelFor(invite);
  cancel.request.text = buildCancel(cancel.request, cancel.context());
  bool sending = provisional;
  int32_t wait = provisional ? 2000 : 1000;
  const uint32_t start = platform::tickMs();
  for (;;) {
    if (sending) side.transport.send(cancel.request.destination, cancel.request.text);
    // No stop event here: the cancel is the way out of a stop and is bounded by its wait.
    std::optional<SipMessage> message = side.transport.takeMessage(side.call, 350);
    if (message && message->isResponse()) {
      if (cseqMatches(*message, invite.request.cseq, "CANCEL")) {
        sending = false;
      } else if (cseqMatches(*message, invite.request.cseq, "INVITE")) {
        if (message->status < 200) {
          if (wait < 2000) {
            sending = true;
            wait = 2000;
          }
        } else {
          sendAckFor(side, invite, *message, {});
          outcome.status = message->status;
          outcome.response = std::move(message);
          return outcome;
        }
      }
    } else if (message && message->isRequest() && !side.onRequest(*message)) {
      outcome.status = 487;
      return outcome;
    }
    if (since(platform::tickMs(), start) >= wait) {
      outcome.status = 408;
      return outcome;
    }
  }
}

void acknowledge(const DialogSide& side, const InviteOutcome& outcome, std::string_view sdp) {
  if (outcome.is2xx()) sendAckFor(side, outcome.invite, *outcome.response, sdp);
}

uint32_t glareBackOffMs(const SipCall& call, uint32_t tickMs) {
  return (call.createdHere ? 550u : 50u) + tickMs % 250;
}

bool waitGlareBackOff(const DialogSide& side) {
  return waitAnswering(side, glareBackOffMs(side.call, platform::tickMs()));
}

uint32_t requestPendingWaitMs(bool createdHere, uint32_t random) {
  return createdHere ? 2100 + random % 191 * 10 : random % 201 * 10;
}

bool waitAnswering(const DialogSide& side, uint32_t ms) {
  const uint32_t start = platform::tickMs();
  const auto wait = static_cast<int32_t>(ms);
  for (;;) {
    const int32_t left = wait - since(platform::tickMs(), start);
    if (left <= 0) return true;
    std::optional<SipMessage> message = side.transport.takeMessage(side.call, left, {&side.stop});
    if (side.stop.isSet()) return false;
    if (message && message->isRequest() && !side.onRequest(*message)) return false;
  }
}

UpdateOutcome sendUpdate(const DialogSide& side, std::string_view extraLines) {
  DialogRequest update = newDialogRequest(side.call, side.transport, "UPDATE");
  update.request.text = buildRequest(update.request, update.context(), true, extraLines, {}, {});
  // Timer E: from T1 doubling up to T2; a connection carries it once.
  const bool once = update.request.destination.transport != TransportKind::Udp;
  uint32_t start = platform::tickMs();
  uint32_t nextMs = start;
  int32_t intervalMs = kReInviteResendMs;
  bool provisional = false;
  bool sent = false;
  for (;;) {
    uint32_t now = platform::tickMs();
    const uint32_t limit = provisional ? kReInviteAfterProvisionalMs : kReInviteNoAnswerMs;
    if (side.stop.isSet() || since(now, start) >= static_cast<int32_t>(limit)) return {408, {}};
    if (since(now, nextMs) >= 0 && !(once && sent)) {
      side.transport.send(update.request.destination, update.request.text);
      sent = true;
      nextMs = now + static_cast<uint32_t>(intervalMs);
      intervalMs = std::min<int32_t>(intervalMs * 2, kUpdateResendMostMs);
    }
    now = platform::tickMs();
    const int32_t wait = std::clamp<int32_t>(since(nextMs, now), 1, kReInviteResendMs);
    std::optional<SipMessage> message = side.transport.takeMessage(side.call, wait, {&side.stop});
    if (!message) continue;
    if (message->isRequest()) {
      if (!side.onRequest(*message)) return {487, {}};
      continue;
    }
    if (!cseqMatches(*message, update.request.cseq, "UPDATE")) continue;
    if (message->status < 200) {
      provisional = true;
      intervalMs = kUpdateResendMostMs;
      continue;
    }
    if ((message->status == 401 || message->status == 407) &&
        authenticateRequest(update.request, *message, side.call.authUser, side.call.password)) {
      update.request.cseq = side.call.nextCSeq();
      update.request.branch = side.transport.newBranch();
      update.request.text =
          buildRequest(update.request, update.context(), true, extraLines, {}, {});
      start = nextMs = platform::tickMs();
      intervalMs = kReInviteResendMs;
      provisional = sent = false;
      continue;
    }
    const int32_t status = message->status;
    return {status, std::move(message)};
  }
}

OptionsOutcome askOptions(const DialogSide& side, uint32_t limitMs) {
  DialogRequest options = newDialogRequest(side.call, side.transport, "OPTIONS");
  options.request.text = buildOptions(options.request, options.context());
  const uint32_t start = platform::tickMs();
  bool provisional = false;
  for (;;) {
    const int32_t left = static_cast<int32_t>(limitMs) - since(platform::tickMs(), start);
    if (left <= 0 || side.stop.isSet()) return {408, std::string(reasonPhrase(408)), {}};
    if (!provisional) side.transport.send(options.request.destination, options.request.text);
    std::optional<SipMessage> message = side.transport.takeMessage(
        side.call, std::min<int32_t>(left, kReInviteResendMs), {&side.stop});
    if (!message) continue;
    if (message->isRequest()) {
      if (!side.onRequest(*message)) return {487, std::string(reasonPhrase(487)), {}};
    } else if (cseqMatches(*message, options.request.cseq, "OPTIONS")) {
      if (message->status < 200) {
        provisional = true;
        continue;
      }
      OptionsOutcome outcome{message->status, message->reason, {}};
      if (message->hasBody("application/sdp")) outcome.sdp = message->body("application/sdp");
      return outcome;
    }
  }
}

bool peerAlive(const DialogSide& side) {
  if (side.call.quirks & 1u) return true;
  auto probe = [&](std::string_view method) {
    DialogRequest request = newDialogRequest(side.call, side.transport, method);
    request.request.text = method == "INFO" ? buildInfo(request.request, request.context())
                                            : buildOptions(request.request, request.context());
    return request;
  };
  DialogRequest current = probe("INFO");
  const uint32_t infoCSeq = current.request.cseq;
  bool switched = false;
  const uint32_t start = platform::tickMs();
  for (;;) {
    const int32_t elapsed = since(platform::tickMs(), start);
    if (elapsed >= static_cast<int32_t>(kProbeDeadMs) || side.stop.isSet()) return false;
    if (!switched && elapsed >= static_cast<int32_t>(kProbeSwitchMs)) {
      current = probe("OPTIONS");
      switched = true;
    }
    side.transport.send(current.request.destination, current.request.text);
    std::optional<SipMessage> message =
        side.transport.takeMessage(side.call, kProbeWaitMs, {&side.stop});
    if (!message) continue;
    if (message->isRequest()) return side.onRequest(*message);
    const bool answersProbe = cseqMatches(*message, infoCSeq, "INFO") ||
                              (switched && cseqMatches(*message, current.request.cseq, "OPTIONS"));
    if (!answersProbe || message->status < 200) continue;
    // The peer is there unless it no longer knows the dialog.
    return message->status != 481 && message->status != 487;
  }
}

uint32_t peerQuirks(const SipMessage& message, std::string_view remoteUri) {
  if (containsNoCase(message.header(hdr::kUserAgent), "Gigaset")) return 1u;
  const std::string host = parseUri(remoteUri).host;
  for (std::string_view fragment : kNoProbeHostFragments) {
    if (containsNoCase(host, fragment)) return 1u;
  }
  return 0u;
}

std::unique_ptr<SipCall> callFromInvite(const SipMessage& invite, SipTransport& transport,
                                        std::string_view user, std::string_view authUser,
                                        std::string_view password) {
  auto call = std::make_unique<SipCall>();
  call->callId = invite.header(hdr::kCallId);
  call->remoteNameAddr = invite.header(hdr::kFrom);
  call->confirmRemoteTag(tagOf(call->remoteNameAddr));
  std::string local = invite.header(hdr::kTo);
  std::string tag = tagOf(local);
  if (tag.empty()) {
    tag = transport.newTag();
    local += ";tag=" + tag;
  }
  call->localNameAddr = local;
  call->localTag = tag;
  call->routeSet = routeSetFromRequest(invite.headerValues(hdr::kRecordRoute));
  const std::string contact = invite.header(hdr::kContact);
  call->remoteTarget =
      contact.empty() ? parseNameAddr(call->remoteNameAddr).uri : parseNameAddr(contact).uri;
  call->inviteCSeq = invite.header(hdr::kCSeq);
  call->inviteTopVia = topVia(invite);
  call->quirks = peerQuirks(invite, parseNameAddr(call->remoteNameAddr).uri);
  call->localCSeq = platform::tickMs() % 1000;
  call->user = std::string(user);
  call->authUser = std::string(authUser);
  call->password = std::string(password);
  return call;
}

}  // namespace quillet::sip
