// Fuzz target: the SIP message parser, its lookups, and a response built from what it
// read (which must parse back).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sip/message_check.h"
#include "sip/sip_message.h"
#include "sip/sip_templates.h"
#include "sip/sip_uri.h"

using namespace quillet::sip;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<SipMessage> message = SipMessage::parse(text);
  if (!message) return 0;
  for (const SipHeader& h : message->headers) {
    if (h.name.empty() || h.name.size() > kHeaderNameMax * 4 ||
        h.value.size() > kHeaderValueMax * 4) {
      std::abort();  // a field escaped its limit
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

  if (message->isRequest()) {
    ResponseSpec form;
    form.status = 200;
    form.toTag = "1";
    form.body = message->body("application/sdp");
    form.contentType = "application/sdp";
    std::optional<SipMessage> reply = SipMessage::parse(buildResponse(*message, form));
    if (!reply || reply->status != 200) std::abort();
  }
  return 0;
}
