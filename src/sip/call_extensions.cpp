// SPDX-License-Identifier: Apache-2.0
// Reading the RSeq, RAck, Session-Expires and Min-SE headers and the option tags of a
// message.
#include "sip/call_extensions.h"

namespace quillet::sip {

namespace {

// Delta-seconds and response numbers have at most ten digits here; longer texts are
// refused rather than wrapped.
constexpr size_t kMostDigits = 10;

// A whole text of decimal digits as a number not above `limit`.
std::optional<uint32_t> plainNumber(std::string_view text, uint64_t limit) {
  if (text.empty() || text.size() > kMostDigits) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > limit) return std::nullopt;
  return static_cast<uint32_t>(value);
}

// The text up to the first blank or tab, and what follows it with the blanks skipped.
std::string_view nextWord(std::string_view& text) {
  text = trimmed(text);
  const size_t end = text.find_first_of(" \t");
  const std::string_view word = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view() : text.substr(end);
  return word;
}

bool listsTag(const SipMessage& message, const HeaderName& name, std::string_view tag) {
  for (const std::string& element : message.headerElements(name)) {
    if (equalsNoCase(trimmed(element), tag)) return true;
  }
  return false;
}

}  // namespace

std::optional<uint32_t> parseRSeq(std::string_view value) {
  const std::optional<uint32_t> number = plainNumber(trimmed(value), kMaxResponseNumber);
  if (!number || *number == 0) return std::nullopt;
  return number;
}

std::optional<RAck> parseRAck(std::string_view value) {
  std::string_view rest = value;
  const std::optional<uint32_t> response = plainNumber(nextWord(rest), kMaxResponseNumber);
  const std::optional<uint32_t> cseq = plainNumber(nextWord(rest), 0xffffffffu);
  const std::string_view method = nextWord(rest);
  if (!response || *response == 0 || !cseq || method.empty() || !trimmed(rest).empty()) {
    return std::nullopt;
  }
  for (char c : method) {
    if (c < 'A' || c > 'Z') return std::nullopt;  // methods are upper-case tokens
  }
  return RAck{*response, *cseq, std::string(method)};
}

std::optional<SessionExpires> parseSessionExpires(std::string_view value) {
  const size_t semicolon = value.find(';');
  const std::optional<uint32_t> seconds =
      plainNumber(trimmed(value.substr(0, semicolon)), 0xffffffffu);
  if (!seconds || *seconds == 0) return std::nullopt;
  SessionExpires expires{*seconds, Refresher::None};
  if (semicolon == std::string_view::npos) return expires;
  std::string_view params = value.substr(semicolon + 1);
  while (!params.empty()) {
    const size_t end = params.find(';');
    const std::string_view param = params.substr(0, end);
    params = end == std::string_view::npos ? std::string_view() : params.substr(end + 1);
    const size_t equals = param.find('=');
    if (!equalsNoCase(trimmed(param.substr(0, equals)), "refresher")) continue;
    const std::string_view who =
        equals == std::string_view::npos ? std::string_view() : trimmed(param.substr(equals + 1));
    if (equalsNoCase(who, "uac")) {
      expires.refresher = Refresher::Uac;
    } else if (equalsNoCase(who, "uas")) {
      expires.refresher = Refresher::Uas;
    } else {
      return std::nullopt;
    }
  }
  return expires;
}

std::optional<uint32_t> parseMinSE(std::string_view value) {
  // Min-SE may carry parameters of its own; none means anything here.
  const std::optional<uint32_t> seconds =
      plainNumber(trimmed(value.substr(0, value.find(';'))), 0xffffffffu);
  if (!seconds || *seconds == 0) return std::nullopt;
  return seconds;
}

std::string sessionExpiresValue(const SessionExpires& expires) {
  std::string text = std::to_string(expires.seconds);
  if (expires.refresher == Refresher::Uac) text += ";refresher=uac";
  if (expires.refresher == Refresher::Uas) text += ";refresher=uas";
  return text;
}

bool supportsOption(const SipMessage& message, std::string_view option) {
  return listsTag(message, hdr::kSupported, option) || listsTag(message, hdr::kRequire, option);
}

bool requiresOption(const SipMessage& message, std::string_view option) {
  return listsTag(message, hdr::kRequire, option);
}

bool allowsMethod(const SipMessage& message, std::string_view method) {
  return listsTag(message, hdr::kAllow, method);
}

}  // namespace quillet::sip
