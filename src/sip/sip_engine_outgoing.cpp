// SPDX-License-Identifier: Apache-2.0
// SipEngine's outgoing calls: dialling, the new dialog, and the INVITE with its redirects,
// authentication and time limits.
#include <algorithm>
#include <cstdlib>

#include "base/net_facts.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "sip/call_extensions.h"
#include "sip/dialog_reaper.h"
#include "sip/in_dialog.h"
#include "sip/sip_engine.h"
#include "sip/sip_engine_util.h"
#include "sip/sip_log.h"
#include "sip/sip_templates.h"
#include "sip/sip_transport.h"
#include "sip/sip_uri.h"

namespace quillet::sip {

namespace {

// When an INVITE goes (again): at once, then over UDP after T1, 2·T1, 4·T1, ... (timer A);
// a connection carries it once.
class InviteResends {
 public:
  explicit InviteResends(uint32_t nowMs) { restart(nowMs); }
  // A new transaction (another server, credentials): sent at once, timer A from T1.
  void restart(uint32_t nowMs) {
    nextMs_ = nowMs;
    intervalMs_ = SipEngine::kInviteResendMs;
    done_ = false;
  }
  // Whether the INVITE is due now; if so, the next time is set.
  bool due(uint32_t nowMs, TransportKind transport) {
    if (done_ || static_cast<int32_t>(nowMs - nextMs_) < 0) return false;
    done_ = transport != TransportKind::Udp;
    nextMs_ = nowMs + intervalMs_;
    intervalMs_ *= 2;
    return true;
  }

 private:
  uint32_t nextMs_ = 0;
  uint32_t intervalMs_ = SipEngine::kInviteResendMs;
  bool done_ = false;
};

// A "q" parameter read as a decimal fraction ("0.8", "1", ".3"); 0.5 when absent.
double qValue(const ParamList& params) {
  if (!hasParam(params, "q")) return 0.5;
  const std::string text = paramValue(params, "q");
  char* end = nullptr;
  const double q = std::strtod(text.c_str(), &end);
  return end == text.c_str() ? 0.5 : q;
}

// Two targets are the same server: address, port and transport.
bool sameServer(const SipTarget& a, const SipTarget& b) {
  return a.transport == b.transport && a.address == b.address;
}

// "127.0.0.1:5060 (UDP)"
std::string serverText(const SipTarget& target) {
  return target.address.toString() + " (" + std::string(viaName(target.transport)) + ")";
}

}  // namespace

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

platform::SocketAddress SipEngine::callNextHop() const {
  const RouteDecision route =
      applyRouteSet(call_->routeSet, call_->presetRoute, call_->remoteTarget);
  const HostPort hop = nextHop(route.destinationUri);
  platform::SocketAddress address;
  if (!hop.host.empty()) SipTransport::resolve(hop.host, hop.port, address);
  return address;
}

std::optional<DialogRequest> SipEngine::nextServer(const DialogRequest& invite,
                                                   std::vector<SipTarget>& servers,
                                                   std::string_view why) {
  const SipTarget& failed = invite.request.destination;
  transport_.markFailed(failed);
  DialogRequest next = newDialogRequest(*call_, transport_, "INVITE");
  const SipTarget& to = next.request.destination;
  if (!next.resolved || std::any_of(servers.begin(), servers.end(),
                                    [&to](const SipTarget& s) { return sameServer(s, to); })) {
    return std::nullopt;
  }
  sipLogInfo("The server " + serverText(failed) + " " + std::string(why) +
             "; the call goes to the next one: " + serverText(to));
  servers.push_back(to);
  return next;
}

bool SipEngine::placeInvite(uint32_t answerHeaders, std::string_view replaces,
                            bool ringingNotifications) {
  // The offer carries media keys only while the INVITE goes over TLS: it is made anew when
  // another server is reached another way.
  std::string offer;
  std::optional<bool> offeredSecure;
  auto offerFor = [&](const SipTarget& target) -> const std::string& {
    const bool secure = target.transport == TransportKind::Tls;
    if (offeredSecure != secure) {
      media_->setSignallingSecure(secure);
      offer = media_->makeOffer(media::MediaDirection::SendRecv);
      offeredSecure = secure;
    }
    return offer;
  };
  serverFailed_.reset();  // failures until now are no news to this INVITE
  std::vector<std::string> tried{call_->remoteTarget};
  std::vector<Candidate> candidates;
  for (;;) {
    DialogRequest invite = newDialogRequest(*call_, transport_, "INVITE");
    invite.request.text = buildInvite(invite.request, invite.context(), replaces, answerHeaders,
                                      offerFor(invite.request.destination), sessionRequestLines());
    PrackState prack;
    uint32_t start = platform::tickMs();
    InviteResends resends(start);
    bool waitedOut = false;  // the last server was silent for kServerSilenceMs
    bool provisional = false;
    bool failed = false;
    bool withCancel = false;
    // The servers of the destination's resolution this INVITE went to, and since when it
    // has waited for the current one. A silent or unavailable server, or one that cannot be
    // reached, leaves the INVITE to the next server as a new transaction; the time limits
    // still count from the first.
    std::vector<SipTarget> servers{invite.request.destination};
    bool serversLeft = invite.resolved;
    uint32_t serverStart = start;
    auto failOver = [&](std::string_view why) {
      std::optional<DialogRequest> next = nextServer(invite, servers, why);
      serverFailed_.reset();  // its own marking
      serversLeft = next.has_value();
      if (!next) return false;
      invite = std::move(*next);
      invite.request.text =
          buildInvite(invite.request, invite.context(), replaces, answerHeaders,
                      offerFor(invite.request.destination), sessionRequestLines());
      serverStart = platform::tickMs();
      resends.restart(serverStart);
      provisional = false;
      return true;
    };
    while (!failed) {
      if (!provisional && resends.due(platform::tickMs(), invite.request.destination.transport)) {
        transport_.send(invite.request.destination, invite.request.text);
      }
      // While another server is left, one marked failed (this one, perhaps: it cannot be
      // reached) ends the wait. Before a provisional the limits are looked at every T1.
      const int32_t wait =
          prackWaitMs(prack, provisional ? 3000 : static_cast<int32_t>(kInviteResendMs));
      std::optional<SipMessage> message =
          !provisional && serversLeft
              ? transport_.takeMessage(*call_, wait, {&stopEvent(), &commandEvent_, &serverFailed_})
              : transport_.takeMessage(*call_, wait, {&stopEvent(), &commandEvent_});
      drivePrack(prack, message && message->isResponse() ? &*message : nullptr);
      if (message && message->isResponse() &&
          cseqMatches(*message, invite.request.cseq, "INVITE")) {
        const int32_t status = message->status;
        if (status >= 100 && status <= 199) {
          provisional = true;
          if (status > 100) takeProvisional(*message, invite.request.cseq, prack);
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
          call.updateAllowed = allowsMethod(*message, "UPDATE");
          call.established = true;
          const bool answered = takeFinalAnswer(*message);
          startSessionTimerFrom(*message);
          DialogRequest ack = ackFor(invite, *message, call, transport_);
          ack.request.text = buildAck(ack.request, ack.context());
          transport_.sendAck(*message, ack.request.destination, ack.request.text);
          // No common codec: the established dialog is ended with a BYE by the reaper.
          if (!answered && media_->refusalStatus() != 488) {
            sipLogError("Incoming connection does not support proper SIP codecs");
          }
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
          } else if (status == 401 || status == 407 || status == 422) {
            const bool again = status == 422
                                   ? raiseSessionInterval(*message)
                                   : authenticateRequest(invite.request, *message, call_->authUser,
                                                         call_->password);
            if (again) {
              invite.request.cseq = call_->nextCSeq();
              invite.request.branch = transport_.newBranch();
              invite.request.text = buildInvite(invite.request, invite.context(), replaces,
                                                answerHeaders, offer, sessionRequestLines());
              start = platform::tickMs();
              serverStart = start;
              resends.restart(start);
              provisional = false;
              continue;
            }
            failed = true;
          } else if (status == 503 && serversLeft && failOver("answered 503")) {
            continue;
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
      if (!provisional && !waitedOut &&
          transport_.failedSince(invite.request.destination, serverStart)) {
        if (serversLeft && failOver("could not be reached")) continue;
        // The last server still cannot be reached after a few resends (a peer that is just
        // starting gets those): no use waiting for timer B.
        if (since(platform::tickMs(), serverStart) >= static_cast<int32_t>(kServerSilenceMs)) {
          sipLogError("Error call attempt timed-out.");
          sipLogError("The server is not replying.");
          failed = true;
          withCancel = true;
          break;
        }
      }
      if (!provisional && serversLeft &&
          since(platform::tickMs(), serverStart) >= static_cast<int32_t>(kServerSilenceMs)) {
        if (failOver("did not answer")) continue;
        waitedOut = true;  // marked failed by that, not unreachable: timer B still runs
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

}  // namespace quillet::sip
