// SPDX-License-Identifier: Apache-2.0
// Requests inside a dialog: numbering, routing, CANCEL/ACK and digest answers.
#include "sip/sip_dialog.h"

#include "sip/digest.h"
#include "sip/sip_log.h"
#include "sip/sip_transport.h"
#include "sip/sip_uri.h"

namespace quillet::sip {

RequestContext DialogRequest::context() const {
  RequestContext c;
  c.localAddress = localAddress;
  c.localPort = localPort;
  c.transport = transport;
  c.to = to;
  c.from = from;
  c.callId = callId;
  c.route = route;
  c.contactUser = contactUser;
  return c;
}

DialogRequest newDialogRequest(SipCall& call, SipTransport& transport, std::string_view method,
                               bool nextCSeq) {
  DialogRequest r;
  r.request.method = std::string(method);
  r.request.cseq = nextCSeq ? call.nextCSeq() : call.localCSeq;
  r.request.branch = transport.newBranch();
  const RouteDecision route = applyRouteSet(call.routeSet, call.presetRoute, call.remoteTarget);
  r.request.requestUri = route.requestUri;
  r.route = route.routeHeader;
  r.resolved =
      transport.resolveNextHop(route.destinationUri, r.request.destination, call.transport);
  r.request.destination.tls = call.tls;
  const LocalContact local = transport.localAddressFor(r.request.destination);
  r.localAddress = local.address;
  r.localPort = local.port;
  r.transport = local.transport;
  r.to = call.remoteNameAddr;
  r.from = call.localNameAddr;
  r.callId = call.callId;
  r.contactUser = call.user;
  return r;
}

DialogRequest cancelFor(const DialogRequest& invite) {
  DialogRequest cancel = invite;
  cancel.request.method = "CANCEL";
  cancel.request.text.clear();
  return cancel;
}

DialogRequest ackFor(const DialogRequest& invite, const SipMessage& response, SipCall& call,
                     SipTransport& transport) {
  DialogRequest ack;
  if (response.status >= 200 && response.status <= 299) {
    ack = newDialogRequest(call, transport, "ACK", false);
    ack.request.cseq = invite.request.cseq;
  } else {
    ack = invite;
    ack.request.method = "ACK";
  }
  ack.request.credentials = invite.request.credentials;
  ack.request.authorizationHeader = invite.request.authorizationHeader;
  ack.request.text.clear();
  const std::string to = response.header(hdr::kTo);
  ack.to = to.empty() ? invite.to : to;
  return ack;
}

bool authenticateRequest(SipRequest& request, const SipMessage& challenge,
                         std::string_view authUser, std::string_view password) {
  if (password.empty()) {
    sipLogError("Password is being requested when none is available!");
    return false;
  }
  const bool www = challenge.status == 401;
  const std::string value = strongestChallenge(
      challenge.headerValues(www ? hdr::kWwwAuthenticate : hdr::kProxyAuthenticate));
  const DigestResult digest =
      computeDigest(value, request.method, request.requestUri, authUser, password);
  // The same nonce challenged again (not stale): the credentials were refused. (With qop
  // every answer differs by its cnonce, so the texts cannot be compared.)
  DigestChallenge fresh, sent;
  const bool again = readChallenge(value, fresh) && readChallenge(request.credentials, sent) &&
                     fresh.nonce == sent.nonce && fresh.realm == sent.realm;
  if (!digest.ok || (again && !digest.stale)) {
    sipLogError("Authorisation failed for server");
    sipLogError("Error message was: " + challenge.reason);
    sipLogError("Check username or password for the proxy server.");
    sipLogError("Perhaps calls to this number are not allowed by this server.");
    return false;
  }
  request.credentials = digest.credentials;
  request.authorizationHeader = www;
  return true;
}

}  // namespace quillet::sip
