// SPDX-License-Identifier: Apache-2.0
// Digits sent in SIP INFO requests during a call, the way many phones and gateways send
// them instead of telephone events: "application/dtmf-relay" ("Signal=5", "Duration=160")
// and "application/dtmf" (the digit alone).
#pragma once

#include <optional>

namespace quillet::sip {

class SipMessage;

// The digit an INFO request carries ("0"-"9", "*", "#", "A"-"D"); nothing for other INFO
// bodies and for values that are not a digit. Signal=10 and 11 stand for "*" and "#".
std::optional<char> infoDigit(const SipMessage& request);

}  // namespace quillet::sip
