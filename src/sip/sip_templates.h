// SPDX-License-Identifier: Apache-2.0
// The text of every SIP message this user agent sends: the request template with the
// per-method lines (INVITE, ACK, CANCEL, BYE, OPTIONS, INFO, REFER, NOTIFY), REGISTER,
// and the response template. Pure text: the caller decides CSeq, branch, route and
// addresses, and sends the result.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "sip/auto_answer.h"
#include "sip/sip_message.h"

namespace quillet::sip {

// The User-Agent text of every message this program sends: "Quillet/VERSION" unless set.
std::string userAgent();
// Sets it for the process (SIP/UserAgent); control characters are dropped, since the text
// is one header line. Empty: the default.
void setUserAgent(std::string_view text);
inline constexpr int32_t kMaxForwards = 70;

// An outgoing request and its transmission state. Copyable: a CANCEL or ACK is made
// from a copy of the INVITE (same CSeq number; same branch for CANCEL and for the ACK
// of a non-2xx final; credentials copied).
struct SipRequest {
  std::string method;
  uint32_t cseq = 0;
  std::string branch;
  std::string requestUri;
  SipTarget destination;            // where it is sent (resolved next hop)
  std::string credentials;          // last computed Authorization value; empty: none
  bool authorizationHeader = true;  // set: "Authorization", clear: "Proxy-Authorization"
  std::string text;                 // the message text, filled by a build function
};

// What the dialog (and the transport) supply to the first block of a request. The
// fields of RequestContext, RegisterSpec and ResponseSpec are views: the texts they
// point at must live until the build function returns (keep a contactValue() result in
// a variable before pointing at it).
struct RequestContext {
  std::string_view localAddress;                 // Via and Contact: private or public address...
  uint16_t localPort = 0;                        // ...and port, chosen by the destination...
  TransportKind transport = TransportKind::Udp;  // ...and the transport it is sent by
  std::string_view to;                           // To value (for an ACK: the To of the response)
  std::string_view from;                         // the call's local name-addr with its tag
  std::string_view callId;
  std::string_view route;        // Route header value; empty: no Route header
  std::string_view contactUser;  // the line's user name (INVITE and REFER carry Contact)
  int32_t maxForwards = kMaxForwards;
};

// The first block of every request, then Route, Contact (when `withContact`), the
// credentials line, `extraLines` (each ending in CR LF), and the body block. Used by
// the per-method builders below; callable directly for other methods.
std::string buildRequest(const SipRequest& request, const RequestContext& context, bool withContact,
                         std::string_view extraLines, std::string_view contentType,
                         std::string_view body);

// INVITE: "Replaces" when `replaces` is not empty, the Allow/Supported lines, the
// auto-answer lines of an intercom call (`answerHeaders`, AnswerHeader bits; 0 for an
// ordinary call), `extraLines` (each ending in CR LF); the SDP body when not empty.
std::string buildInvite(const SipRequest& request, const RequestContext& context,
                        std::string_view replaces, uint32_t answerHeaders, std::string_view sdp,
                        std::string_view extraLines = {});
// ACK: To = the To of the response acknowledged; the SDP body when the ACK carries the
// answer. (Credentials are those copied from the INVITE into `request`.)
std::string buildAck(const SipRequest& request, const RequestContext& context,
                     std::string_view sdp = {});
std::string buildCancel(const SipRequest& request, const RequestContext& context);
std::string buildBye(const SipRequest& request, const RequestContext& context);
// OPTIONS: "Accept: application/sdp".
std::string buildOptions(const SipRequest& request, const RequestContext& context);
std::string buildInfo(const SipRequest& request, const RequestContext& context);
// REFER: Contact, "Refer-To: REFERTO", "Referred-By: <REFERREDBYURI>".
std::string buildRefer(const SipRequest& request, const RequestContext& context,
                       std::string_view referTo, std::string_view referredByUri);
// NOTIFY of a REFER, with a Contact: "Event: refer", "Subscription-State: active;expires=60"
// for a provisional status and "terminated;reason=noresource" for a final one, and the
// "message/sipfrag" body "SIP/2.0 STATUS REASON\r\n".
std::string buildNotify(const SipRequest& request, const RequestContext& context, int32_t status,
                        std::string_view reason);

// REGISTER (always from the public address).
struct RegisterSpec {
  std::string_view server;      // request URI is "sip:" + server
  std::string_view viaAddress;  // public address
  uint16_t viaPort = 0;         // public port
  TransportKind transport = TransportKind::Udp;
  std::string_view branch;
  std::string_view addressOfRecord;  // "sip:user@server"
  std::string_view tag;
  std::string_view callId;
  uint32_t cseq = 0;
  std::string_view contactUser;
  int32_t expires = 3600;
  int32_t q = 90;                // 0..99, sent as "q=0.%.2d"
  std::string_view credentials;  // empty: none
  bool authorizationHeader = true;
};
std::string buildRegister(const RegisterSpec& form);

// A SUBSCRIBE to an event package: a voicemail box's message-waiting state, a contact's
// dialogs (a refresh names the notifier's tag; expires 0 ends the subscription).
struct SubscribeSpec {
  std::string_view event = "message-summary";
  std::string_view accept = "application/simple-message-summary";
  std::string_view mailbox;  // request URI and To
  std::string_view remoteTag;
  std::string_view viaAddress;
  uint16_t viaPort = 0;
  TransportKind transport = TransportKind::Udp;
  std::string_view branch;
  std::string_view addressOfRecord;  // From
  std::string_view tag;
  std::string_view callId;
  uint32_t cseq = 0;
  std::string_view contactUser;
  int32_t expires = 3600;
  std::string_view credentials;  // empty: none
  bool authorizationHeader = true;
};
std::string buildSubscribe(const SubscribeSpec& form);

// A response to a received request.
struct ResponseSpec {
  int32_t status = 200;
  std::string_view reason = "OK";
  std::string_view toTag;         // added to To unless empty or To already has a tag
  std::string_view contact;       // Contact value ("<sip:user@addr:port>"); empty: none
  std::string_view extraHeaders;  // inserted unchanged (each line ending in CR LF)
  bool withAllow = false;         // the Allow/Accept/Supported lines
  std::string_view contentType;   // with a body: its type
  std::string_view body;
};
// "SIP/2.0 STATUS REASON", every Via and Record-Route of the request in order, To (with
// the tag), From, Call-ID, CSeq, User-Agent, Contact, extra headers, Allow lines, body.
std::string buildResponse(const SipMessage& request, const ResponseSpec& form);

// "<sip:USER@ADDRESS:PORT>", with ";transport=tcp" or "tls" for those transports.
std::string contactValue(std::string_view user, std::string_view address, uint16_t port,
                         TransportKind transport = TransportKind::Udp);

// The body block: "Content-Type: T\r\nContent-Length: N\r\n\r\nBODY" where N counts the
// body's UTF-8 bytes, or "Content-Length: 0\r\n\r\n" without a body.
std::string bodyBlock(std::string_view contentType, std::string_view body);

// A request's text with its top Via naming `transport` instead of UDP.
std::string withViaTransport(std::string_view text, TransportKind transport);

// The reason phrase the system uses for a status ("Ringing", "OK", "Busy Here", ...);
// empty for a status it never sends.
std::string_view reasonPhrase(int32_t status);

// Whether a response answers the request: its CSeq value equals "CSEQ METHOD".
bool cseqMatches(const SipMessage& response, uint32_t cseq, std::string_view method);

}  // namespace quillet::sip
