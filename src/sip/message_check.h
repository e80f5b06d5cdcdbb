// SPDX-License-Identifier: Apache-2.0
// The checks every received message passes before it reaches a call, a registration or
// the incoming-call policy: what a user agent must drop, and what it must refuse and with
// which status.
#pragma once

#include <cstdint>
#include <string>

#include "sip/sip_message.h"

namespace quillet::sip {

struct MessageVerdict {
  enum class Action { Accept, Drop, Refuse };
  Action action = Action::Accept;
  int32_t status = 0;        // with Refuse: 400, 415, 416, 420 or 505
  std::string extraHeaders;  // with Refuse: "Unsupported: ..." or "Accept: ..." lines
  std::string why;           // what is wrong, for the log line
};

// Requests: no Via (nowhere to answer) and a faulty ACK (never answered) are dropped; a
// version other than SIP/2.0 is refused 505; blanks other than one space between the
// request line's parts, a missing or repeated From, To, Call-ID or CSeq (or a From or To
// listing several addresses), a repeated Content-Length, a CSeq
// that is not a number below 2^31 followed by the request's own method, a Content-Length
// that is negative, not a number or longer than the datagram's body, an unterminated quoted
// string or angle bracket in an address header, or a Request-URI in angle brackets 400;
// a Request-URI scheme other than sip/sips 416; an option tag in Require that this agent
// lacks 420; an INVITE body of a type it cannot read 415.
// Responses: dropped unless the version is SIP/2.0, the status 100..699 and Via, From, To,
// Call-ID and CSeq are present.
MessageVerdict checkMessage(const SipMessage& message);

}  // namespace quillet::sip
