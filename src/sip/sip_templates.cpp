// SPDX-License-Identifier: Apache-2.0
// Request, REGISTER and response templates, expanded with TextBuilder.
#include "sip/sip_templates.h"

#include <algorithm>
#include <mutex>

#include "base/text_builder.h"

namespace quillet::sip {

namespace {

constexpr std::string_view kInviteAllow =
    "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, INFO, REFER, NOTIFY, PRACK, UPDATE\r\n"
    "Supported: replaces, answermode, 100rel, timer\r\n";
// The Allow list of responses has no INFO, unlike the one in INVITE.
constexpr std::string_view kResponseAllow =
    "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, NOTIFY, PRACK, UPDATE\r\n"
    "Accept: application/sdp\r\nSupported: replaces, answermode, 100rel, timer\r\n";

void appendBodyBlock(base::TextBuilder& text, std::string_view contentType, std::string_view body) {
  if (body.empty()) {
    text.Append("Content-Length: 0\r\n\r\n");
  } else {
    // Content-Length counts bytes of the UTF-8 body, which is what a peer reads.
    text.AppendFormat("Content-Type: %s\r\nContent-Length: %d\r\n\r\n%s", contentType,
                      static_cast<int32_t>(body.size()), body);
  }
}

bool containsTag(std::string_view value) {
  constexpr std::string_view kTag = ";tag=";
  if (value.size() < kTag.size()) return false;
  for (size_t i = 0; i + kTag.size() <= value.size(); ++i) {
    if (equalsNoCase(value.substr(i, kTag.size()), kTag)) return true;
  }
  return false;
}

#ifndef QUILLET_VERSION
#define QUILLET_VERSION "0.0.0"
#endif

std::mutex agentMutex;
std::string agent = "Quillet/" QUILLET_VERSION;

}  // namespace

std::string userAgent() {
  std::lock_guard lock(agentMutex);
  return agent;
}

void setUserAgent(std::string_view text) {
  std::string clean;
  for (const char c : text)
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) clean += c;
  std::lock_guard lock(agentMutex);
  agent = clean.empty() ? std::string("Quillet/" QUILLET_VERSION) : clean;
}

std::string bodyBlock(std::string_view contentType, std::string_view body) {
  base::TextBuilder text;
  appendBodyBlock(text, contentType, body);
  return text.take();
}

namespace {

// The URI parameter that names a transport other than UDP ("" for UDP).
std::string transportParam(TransportKind transport) {
  if (transport == TransportKind::Udp) return {};
  return base::format(";transport=%s", paramName(transport));
}

}  // namespace

std::string withViaTransport(std::string_view text, TransportKind transport) {
  std::string result(text);
  static constexpr std::string_view kUdpVia = "\r\nVia: SIP/2.0/UDP ";
  const size_t at = result.find(kUdpVia);
  if (at != std::string::npos) result.replace(at + kUdpVia.size() - 4, 3, viaName(transport));
  return result;
}

std::string contactValue(std::string_view user, std::string_view address, uint16_t port,
                         TransportKind transport) {
  return base::format("<sip:%s@%s:%d%s>", user, address, port, transportParam(transport));
}

std::string buildRequest(const SipRequest& request, const RequestContext& context, bool withContact,
                         std::string_view extraLines, std::string_view contentType,
                         std::string_view body) {
  base::TextBuilder text;
  text.Reserve(1024 + body.size());
  text.Format(
      "%s %s SIP/2.0\r\nVia: SIP/2.0/%s %s:%d;rport;branch=%s\r\nTo: %s\r\nFrom: %s\r\n"
      "Call-ID: %s\r\nCSeq: %d %s\r\nMax-Forwards: %d\r\nUser-Agent: %s\r\n",
      request.method, request.requestUri, viaName(context.transport), context.localAddress,
      context.localPort, request.branch, context.to, context.from, context.callId, request.cseq,
      request.method, context.maxForwards, userAgent());
  if (!context.route.empty()) text.AppendFormat("Route: %s\r\n", context.route);
  if (withContact) {
    text.AppendFormat("Contact: %s\r\n", contactValue(context.contactUser, context.localAddress,
                                                      context.localPort, context.transport));
  }
  if (!request.credentials.empty()) {
    text.AppendFormat(
        request.authorizationHeader ? "Authorization: %s\r\n" : "Proxy-Authorization: %s\r\n",
        request.credentials);
  }
  text.Append(extraLines);
  appendBodyBlock(text, contentType, body);
  return text.take();
}

std::string buildInvite(const SipRequest& request, const RequestContext& context,
                        std::string_view replaces, uint32_t answerHeaders, std::string_view sdp,
                        std::string_view extraLines) {
  base::TextBuilder extra;
  if (!replaces.empty()) extra.AppendFormat("Replaces: %s\r\n", replaces);
  extra.Append(kInviteAllow);
  extra.Append(extraLines);
  extra.Append(answerHeaderLines(answerHeaders, context.localAddress));
  return buildRequest(request, context, true, extra.view(), "application/sdp", sdp);
}

std::string buildAck(const SipRequest& request, const RequestContext& context,
                     std::string_view sdp) {
  return buildRequest(request, context, false, {}, "application/sdp", sdp);
}

std::string buildCancel(const SipRequest& request, const RequestContext& context) {
  return buildRequest(request, context, false, {}, {}, {});
}

std::string buildBye(const SipRequest& request, const RequestContext& context) {
  return buildRequest(request, context, false, {}, {}, {});
}

std::string buildOptions(const SipRequest& request, const RequestContext& context) {
  return buildRequest(request, context, false, "Accept: application/sdp\r\n", {}, {});
}

std::string buildInfo(const SipRequest& request, const RequestContext& context) {
  return buildRequest(request, context, false, {}, {}, {});
}

std::string buildRefer(const SipRequest& request, const RequestContext& context,
                       std::string_view referTo, std::string_view referredByUri) {
  std::string extra = base::format("Refer-To: %s\r\nReferred-By: <%s>\r\n", referTo, referredByUri);
  return buildRequest(request, context, true, extra, {}, {});
}

std::string buildNotify(const SipRequest& request, const RequestContext& context, int32_t status,
                        std::string_view reason) {
  std::string body = base::format("SIP/2.0 %d %s\r\n", status, reason);
  // The final status ends the implicit subscription the REFER made.
  return buildRequest(request, context, true,
                      status >= 200
                          ? "Event: refer\r\nSubscription-State: terminated;reason=noresource\r\n"
                          : "Event: refer\r\nSubscription-State: active;expires=60\r\n",
                      "message/sipfrag", body);
}

std::string buildRegister(const RegisterSpec& form) {
  base::TextBuilder text;
  int32_t q = std::clamp<int32_t>(form.q, 0, 99);
  text.Format(
      "REGISTER sip:%s SIP/2.0\r\nVia: SIP/2.0/%s %s:%d;rport;branch=%s\r\nMax-Forwards: %d\r\n"
      "To: <%s>\r\nFrom: <%s>;tag=%s\r\nCall-ID: %s\r\nCSeq: %d REGISTER\r\n"
      "Contact: %s;expires=%d;q=0.%.2d\r\n",
      form.server, viaName(form.transport), form.viaAddress, form.viaPort, form.branch,
      kMaxForwards, form.addressOfRecord, form.addressOfRecord, form.tag, form.callId, form.cseq,
      contactValue(form.contactUser, form.viaAddress, form.viaPort, form.transport), form.expires,
      q);
  if (!form.credentials.empty()) {
    text.AppendFormat(
        form.authorizationHeader ? "Authorization: %s\r\n" : "Proxy-Authorization: %s\r\n",
        form.credentials);
  }
  text.AppendFormat("User-Agent: %s\r\nContent-Length: 0\r\n\r\n", userAgent());
  return text.take();
}

std::string buildSubscribe(const SubscribeSpec& form) {
  base::TextBuilder text;
  text.Format(
      "SUBSCRIBE %s SIP/2.0\r\nVia: SIP/2.0/%s %s:%d;rport;branch=%s\r\nMax-Forwards: %d\r\n"
      "To: <%s>",
      form.mailbox, viaName(form.transport), form.viaAddress, form.viaPort, form.branch,
      kMaxForwards, form.mailbox);
  if (!form.remoteTag.empty()) text.AppendFormat(";tag=%s", form.remoteTag);
  text.AppendFormat(
      "\r\nFrom: <%s>;tag=%s\r\nCall-ID: %s\r\nCSeq: %d SUBSCRIBE\r\nContact: %s\r\n"
      "Event: %s\r\nAccept: %s\r\nExpires: %d\r\n",
      form.addressOfRecord, form.tag, form.callId, form.cseq,
      contactValue(form.contactUser, form.viaAddress, form.viaPort, form.transport), form.event,
      form.accept, form.expires);
  if (!form.credentials.empty()) {
    text.AppendFormat(
        form.authorizationHeader ? "Authorization: %s\r\n" : "Proxy-Authorization: %s\r\n",
        form.credentials);
  }
  text.AppendFormat("User-Agent: %s\r\nContent-Length: 0\r\n\r\n", userAgent());
  return text.take();
}

std::string buildResponse(const SipMessage& request, const ResponseSpec& form) {
  base::TextBuilder text;
  text.Reserve(1024 + form.body.size());
  text.Format("SIP/2.0 %d %s\r\n", form.status, form.reason);
  for (const std::string& via : request.headerValues(hdr::kVia)) {
    text.AppendFormat("Via: %s\r\n", via);
  }
  for (const std::string& route : request.headerValues(hdr::kRecordRoute)) {
    text.AppendFormat("Record-Route: %s\r\n", route);
  }
  std::string to = request.header(hdr::kTo);
  if (form.toTag.empty() || containsTag(to)) {
    text.AppendFormat("To: %s\r\n", to);
  } else {
    text.AppendFormat("To: %s;tag=%s\r\n", to, form.toTag);
  }
  text.AppendFormat("From: %s\r\nCall-ID: %s\r\nCSeq: %s\r\nUser-Agent: %s\r\n",
                    request.header(hdr::kFrom), request.header(hdr::kCallId),
                    request.header(hdr::kCSeq), userAgent());
  if (!form.contact.empty()) text.AppendFormat("Contact: %s\r\n", form.contact);
  text.Append(form.extraHeaders);
  if (form.withAllow) text.Append(kResponseAllow);
  appendBodyBlock(text, form.contentType, form.body);
  return text.take();
}

std::string_view reasonPhrase(int32_t status) {
  switch (status) {
    case 100:
      return "Trying";
    case 180:
      return "Ringing";
    case 200:
      return "OK";
    case 202:
      return "Accepted";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 415:
      return "Unsupported Media Type";
    case 416:
      return "Unsupported URI Scheme";
    case 420:
      return "Bad Extension";
    case 422:
      return "Session Interval Too Small";
    case 480:
      return "Temporarily Unavailable";
    case 481:
      return "Call/Transaction Does Not Exist";
    case 482:
      return "Loop Detected";
    case 486:
      return "Busy Here";
    case 487:
      return "Request Terminated";
    case 488:
      return "Not Acceptable Here";
    case 491:
      return "Request Pending";
    case 500:
      return "Server Internal Error";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    case 505:
      return "Version Not Supported";
    default:
      return {};
  }
}

bool cseqMatches(const SipMessage& response, uint32_t cseq, std::string_view method) {
  return response.header(hdr::kCSeq) == base::format("%d %s", static_cast<int32_t>(cseq), method);
}

}  // namespace quillet::sip
