// SPDX-License-Identifier: Apache-2.0
// Dropping and refusing malformed or unsupported received messages.
#include "sip/message_check.h"

#include <string_view>

#include "sip/sip_uri.h"

namespace quillet::sip {

namespace {

constexpr std::string_view kVersion = "SIP/2.0";
// The option tags this agent understands in a Require header.
constexpr std::string_view kSupportedOptions[] = {"replaces", "answermode", "100rel", "timer"};

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool allDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A decimal number below 2^31 written with digits only.
bool smallNumber(std::string_view text) {
  if (!allDigits(text) || text.size() > 10) return false;
  int64_t value = 0;
  for (char c : text) value = value * 10 + (c - '0');
  return value < (int64_t{1} << 31);
}

MessageVerdict drop(std::string why) {
  MessageVerdict v;
  v.action = MessageVerdict::Action::Drop;
  v.why = std::move(why);
  return v;
}

MessageVerdict refuse(int32_t status, std::string why, std::string extra = {}) {
  MessageVerdict v;
  v.action = MessageVerdict::Action::Refuse;
  v.status = status;
  v.why = std::move(why);
  v.extraHeaders = std::move(extra);
  return v;
}

size_t headerCount(const SipMessage& message, const HeaderName& name) {
  return message.headerValues(name).size();
}

bool hasHeader(const SipMessage& message, const HeaderName& name) {
  return headerCount(message, name) > 0;
}

// The faults shared by requests and responses: missing identity headers, CSeq form,
// Content-Length, quoting. Empty when none.
std::string headerFault(const SipMessage& message, std::string_view method) {
  for (const HeaderName* name : {&hdr::kFrom, &hdr::kTo, &hdr::kCallId, &hdr::kCSeq}) {
    if (!hasHeader(message, *name) || trim(message.header(*name)).empty()) {
      return "no " + std::string(name->full) + " header";
    }
  }
  // Headers that hold one value: a second header or a list is a contradiction.
  for (const HeaderName* name :
       {&hdr::kFrom, &hdr::kTo, &hdr::kCallId, &hdr::kCSeq, &hdr::kContentLength}) {
    if (headerCount(message, *name) > 1) return "several " + std::string(name->full) + " headers";
  }
  for (const HeaderName* name : {&hdr::kFrom, &hdr::kTo}) {
    if (splitList(message.header(*name)).size() > 1) {
      return "several addresses in " + std::string(name->full);
    }
  }
  const std::string cseq = message.header(hdr::kCSeq);
  std::string_view rest = trim(cseq);
  const size_t blank = rest.find_first_of(" \t");
  if (blank == std::string_view::npos || !smallNumber(rest.substr(0, blank))) {
    return "a malformed CSeq \"" + cseq + "\"";
  }
  // The request's method was cut to its limit when parsed: compare the same cut.
  if (!method.empty() && cutChars(trim(rest.substr(blank)), kMethodMax) != method) {
    return "a CSeq method that is not " + std::string(method);
  }
  if (hasHeader(message, hdr::kContentLength)) {
    const std::string length = message.header(hdr::kContentLength);
    if (!smallNumber(trim(length))) return "a malformed Content-Length \"" + length + "\"";
    if (static_cast<size_t>(decimalValue(length)) > message.bytesAfterHeaders) {
      return "a Content-Length longer than the body";
    }
  }
  for (const HeaderName* name : {&hdr::kFrom, &hdr::kTo, &hdr::kContact, &hdr::kRecordRoute}) {
    for (const std::string& value : message.headerValues(*name)) {
      if (!quotesAndBracketsClosed(value))
        return "an unterminated quote or bracket in " + std::string(name->full);
    }
  }
  return {};
}

MessageVerdict checkResponse(const SipMessage& message) {
  if (!equalsNoCase(trim(message.version), kVersion)) return drop("version " + message.version);
  if (message.status < 100 || message.status > 699) return drop("status out of range");
  if (!hasHeader(message, hdr::kVia)) return drop("no Via header");
  std::string fault = headerFault(message, {});
  if (!fault.empty()) return drop(std::move(fault));
  return {};
}

// The type of an INVITE body this agent cannot read, or empty.
bool unreadableBody(const SipMessage& message) {
  if (message.method != "INVITE" || message.bytesAfterHeaders == 0) return false;
  if (decimalValue(message.header(hdr::kContentLength, "0")) <= 0) return false;
  std::string type = message.header(hdr::kContentType);
  type = std::string(trim(type.substr(0, type.find(';'))));
  return !equalsNoCase(type, "application/sdp") && !equalsNoCase(type, "multipart/mixed");
}

// The first Require option tag this agent lacks, or empty.
std::string unsupportedOption(const SipMessage& message) {
  for (const std::string& value : message.headerValues(HeaderName("Require"))) {
    for (const std::string& element : splitList(value)) {
      const std::string_view tag = trim(element);
      bool known = tag.empty();
      for (std::string_view option : kSupportedOptions) known = known || equalsNoCase(tag, option);
      if (!known) return std::string(tag);
    }
  }
  return {};
}

}  // namespace

MessageVerdict checkMessage(const SipMessage& message) {
  if (message.isResponse()) return checkResponse(message);
  if (!hasHeader(message, hdr::kVia)) return drop("no Via header");
  MessageVerdict verdict;
  const std::string_view version = trim(message.version);
  if (message.looseFirstLine && equalsNoCase(version, kVersion)) {
    verdict = refuse(400, "blanks out of place in the request line");
  } else if (!equalsNoCase(version, kVersion)) {
    verdict = equalsNoCase(version.substr(0, std::min(version.size(), kVersion.size())), kVersion)
                  ? refuse(400, "text after the version")
                  : refuse(505, "version " + message.version);
  } else if (std::string fault = headerFault(message, message.method); !fault.empty()) {
    verdict = refuse(400, std::move(fault));
  } else if (message.uri.empty() || message.uri.front() == '<' ||
             message.uri.find(':') == std::string::npos) {
    verdict = refuse(400, "a malformed Request-URI");
  } else if (std::string_view scheme =
                 std::string_view(message.uri).substr(0, message.uri.find(':'));
             !equalsNoCase(scheme, "sip") && !equalsNoCase(scheme, "sips")) {
    verdict = refuse(416, "the Request-URI scheme " + std::string(scheme));
  } else if (message.method != "ACK" && message.method != "CANCEL") {
    if (std::string option = unsupportedOption(message); !option.empty()) {
      verdict = refuse(420, "the option " + option, "Unsupported: " + option + "\r\n");
    } else if (unreadableBody(message)) {
      verdict = refuse(415, "an unknown body type", "Accept: application/sdp\r\n");
    }
  }
  // An ACK is never answered: one this agent would refuse is dropped.
  if (verdict.action == MessageVerdict::Action::Refuse && message.method == "ACK") {
    verdict.action = MessageVerdict::Action::Drop;
  }
  return verdict;
}

}  // namespace quillet::sip
