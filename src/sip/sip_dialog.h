// SPDX-License-Identifier: Apache-2.0
// Requests inside a dialog: numbering, routing and addressing of a new request of a
// SipCall, the CANCEL and ACK made from an INVITE, and answering digest challenges.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sip/sip_call.h"
#include "sip/sip_message.h"
#include "sip/sip_templates.h"

namespace quillet::sip {

class SipTransport;

// A request of a dialog with what its text is built from. Copyable, so that the CANCEL
// and the ACK of an INVITE are made from a copy of it.
struct DialogRequest {
  SipRequest request;
  std::string to;    // To value
  std::string from;  // local name-addr with tag
  std::string callId;
  std::string route;  // Route header value ("" for none)
  std::string contactUser;
  std::string localAddress;  // Via/Contact address and port for the destination
  uint16_t localPort = 0;
  TransportKind transport = TransportKind::Udp;
  bool resolved = false;  // the destination resolved

  RequestContext context() const;
};

// A new request of the dialog: next CSeq (unless `sameCSeq`), new branch, request URI,
// Route and destination by the route rules, local address by the destination.
DialogRequest newDialogRequest(SipCall& call, SipTransport& transport, std::string_view method,
                               bool nextCSeq = true);

// The CANCEL of an INVITE: same CSeq number, branch, request URI, Route and destination;
// credentials copied.
DialogRequest cancelFor(const DialogRequest& invite);
// The ACK of a final response to an INVITE: for a 2xx a new branch and the dialog's
// current route; otherwise the INVITE's branch, request URI and destination. To is the
// response's To (the INVITE's To when it has none).
DialogRequest ackFor(const DialogRequest& invite, const SipMessage& response, SipCall& call,
                     SipTransport& transport);

// Answers a 401/407 to a request of a call (INVITE, BYE): computes credentials from the
// challenge with the request's method and request URI and stores them in `request`.
// False (with the log lines) when there is no password, or when the credentials equal
// those already sent and the challenge is not stale.
bool authenticateRequest(SipRequest& request, const SipMessage& challenge,
                         std::string_view authUser, std::string_view password);

}  // namespace quillet::sip
