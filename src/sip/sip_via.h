// SPDX-License-Identifier: Apache-2.0
// The top Via of a message: what a request's receiver writes into it (received, rport)
// and what a response's receiver learns from it (the address its requests came from).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/socket_address.h"
#include "sip/sip_message.h"

namespace quillet::sip {

// Writes where a request came from into its top Via, so that every response built from
// its Via headers carries it: "received=IP" when the sent-by host differs from the source
// address (an IPv6 one without brackets) or when the sender asked for "rport", and "rport=PORT"
// (the source port) when an rport parameter is present, with or without a value. Existing received
// and rport values are replaced. A request without Via is left alone.
void stampTopVia(SipMessage& request, const platform::SocketAddress& source);

// The address a response's top Via reports for this side: the received address (or the
// sent-by host without one) and the rport value (or the sent-by port, 5060 when none).
// Nothing when the top Via carries neither a received address nor an rport value.
struct ReportedAddress {
  std::string address;
  uint16_t port = 0;
  bool operator==(const ReportedAddress&) const = default;
};
std::optional<ReportedAddress> reportedAddress(const SipMessage& response);

}  // namespace quillet::sip
