// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the SIP message parser, its lookups, a response built from what it read
// (which must parse back), and the digit of an INFO body.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sip/dtmf_info.h"
#include "sip/message_check.h"
#include "sip/sip_message.h"
#include "sip/sip_templates.h"
#include "sip/sip_uri.h"
#include "sip/sip_via.h"

using namespace quillet::sip;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<SipMessage> message = SipMessage::parse(text);
  if (!message) return 0;
  if (const std::optional<char> digit = infoDigit(*message)) {
    if (std::string_view("0123456789*#ABCD").find(*digit) == std::string_view::npos) std::abort();
  }
  if (message->headers.size() > kMaxHeaders || message->uri.size() > size) std::abort();
  for (const SipHeader& h : message->headers) {
    // A name escaped its limit, or a value holds more than the datagram did.
    if (h.name.empty() || h.name.size() > kHeaderNameMax * 4 || h.value.size() > size) {
      std::abort();
    }
  }
  size_t bodyBytes = 0;
  for (const SipBodyPart& b : message->bodies) bodyBytes += b.text.size();
  if (bodyBytes > size) std::abort();  // the body never reaches past the datagram

  for (const std::string& contact : message->headerElements(hdr::kContact)) {
    NameAddr na = parseNameAddr(contact);
    (void)parseUri(na.uri);
  }
  (void)routeSetFromResponse(message->headerValues(hdr::kRecordRoute));
  std::string routeSet = routeSetFromRequest(message->headerValues(hdr::kRecordRoute));
  (void)applyRouteSet(routeSet, false, message->uri);
  (void)message->body("application/sdp");

  // A refusal always carries a status of its own; an accepted message has what the
  // dispatch relies on.
  const MessageVerdict verdict = checkMessage(*message);
  if (verdict.action == MessageVerdict::Action::Refuse &&
      (verdict.status < 400 || verdict.status > 599 || message->method == "ACK")) {
    std::abort();
  }
  if (verdict.action == MessageVerdict::Action::Accept &&
      (message->header(hdr::kCallId).empty() || message->header(hdr::kCSeq).empty())) {
    std::abort();
  }

  // (A request with nearly kMaxHeaders headers gets a response with more than that.)
  if (message->isRequest() && message->headers.size() + 16 <= kMaxHeaders) {
    // A response echoes every Via and Record-Route value exactly, also stamped ones.
    // A source of each family: 198.51.100.7 and 2001:db8::7.
    stampTopVia(*message, quillet::platform::SocketAddress::ipv4(htonl(0xC6336407), 40001));
    stampTopVia(*message, *quillet::platform::SocketAddress::parse("2001:db8::7", 40001));
    ResponseSpec form;
    form.status = 200;
    form.toTag = "1";
    form.body = message->body("application/sdp");
    form.contentType = "application/sdp";
    std::optional<SipMessage> reply = SipMessage::parse(buildResponse(*message, form));
    if (!reply || reply->status != 200) std::abort();
    if (reply->headerValues(hdr::kRecordRoute) != message->headerValues(hdr::kRecordRoute))
      std::abort();
  }
  return 0;
}
