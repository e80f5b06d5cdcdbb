// SPDX-License-Identifier: Apache-2.0
// SipMessage: parsing one datagram into its first line, headers and body parts, and
// the lookups over them.
#include "sip/sip_message.h"

#include <algorithm>
#include <limits>

#include "sip/sip_uri.h"

namespace quillet::sip {

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}
bool isControl(char c) {
  return static_cast<unsigned char>(c) < 32;
}
bool isLineEnd(char c) {
  return c == '\r' || c == '\n';
}

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalsNoCase(text.substr(0, prefix.size()), prefix);
}

// Consumes one line end: CR, LF, CR LF or LF CR.
void consumeLineEnd(std::string_view text, size_t& pos) {
  if (pos < text.size() && text[pos] == '\r') {
    ++pos;
    if (pos < text.size() && text[pos] == '\n') ++pos;
  } else if (pos < text.size() && text[pos] == '\n') {
    ++pos;
    if (pos < text.size() && text[pos] == '\r') ++pos;
  }
}

// The rest of the line from `pos` (leading blanks skipped), up to CR or LF.
std::string_view restOfLine(std::string_view text, size_t& pos) {
  while (pos < text.size() && isBlank(text[pos])) ++pos;
  size_t start = pos;
  while (pos < text.size() && !isLineEnd(text[pos])) ++pos;
  return text.substr(start, pos - start);
}

// A token: the run of characters up to the next blank or control character.
std::string_view token(std::string_view text, size_t& pos) {
  size_t start = pos;
  while (pos < text.size() && !isBlank(text[pos]) && !isControl(text[pos])) ++pos;
  return text.substr(start, pos - start);
}

// Appends a folded continuation line: one space between the two texts (none when one of
// them is empty, so that a value starting on the next line has no leading blank).
void appendContinuation(std::string& value, std::string_view line) {
  while (!value.empty() && isBlank(value.back())) value.pop_back();
  if (!value.empty() && !line.empty()) value.push_back(' ');
  value.append(line);
}

// The media type of a Content-Type value: cut at the first blank or ";".
std::string_view mediaType(std::string_view contentType) {
  size_t end = contentType.find_first_of(" \t;");
  return contentType.substr(0, end);
}

// The "boundary" parameter of a Content-Type value; parameters are separated by ";",
// "&" and blanks, with "=" between name and value. Surrounding quotes are removed.
std::string_view boundaryOf(std::string_view contentType) {
  size_t i = 0;
  while (i < contentType.size()) {
    size_t end = contentType.find_first_of(";& \t", i);
    if (end == std::string_view::npos) end = contentType.size();
    std::string_view param = contentType.substr(i, end - i);
    size_t eq = param.find('=');
    if (eq != std::string_view::npos && equalsNoCase(param.substr(0, eq), "boundary")) {
      std::string_view value = param.substr(eq + 1);
      if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
      }
      return value;
    }
    i = end + 1;
  }
  return {};
}

// Splits a multipart/mixed body into its parts; parts without a type are skipped.
void splitMultipart(std::string_view body, std::string_view boundary,
                    std::vector<SipBodyPart>& parts) {
  if (boundary.empty()) return;
  // The first delimiter usually starts the body without a CR LF before it; reading the
  // body as if one stood there finds that first part too.
  std::string work = "\r\n";
  work.append(body);
  std::string delimiter = "\r\n--";
  delimiter.append(boundary);
  std::string_view text = work;
  size_t found = text.find(delimiter);
  while (found != std::string_view::npos) {
    size_t pos = found + delimiter.size();
    if (pos < text.size() && text[pos] == '-') break;  // the closing delimiter
    while (pos < text.size() && isBlank(text[pos])) ++pos;
    consumeLineEnd(text, pos);
    std::string_view type;
    for (;;) {
      size_t nameStart = pos;
      while (pos < text.size() && text[pos] != ' ' && !isLineEnd(text[pos]) && text[pos] != ':')
        ++pos;
      std::string_view name = text.substr(nameStart, pos - nameStart);
      if (name.empty()) break;
      while (pos < text.size() && (isBlank(text[pos]) || text[pos] == ':')) ++pos;
      size_t valueStart = pos;
      while (pos < text.size() && text[pos] != ';' && text[pos] != ' ' && !isLineEnd(text[pos]))
        ++pos;
      if (equalsNoCase(name, "Content-Type") || equalsNoCase(name, "c")) {
        type = text.substr(valueStart, pos - valueStart);
      }
      while (pos < text.size() && !isLineEnd(text[pos])) ++pos;
      consumeLineEnd(text, pos);
    }
    consumeLineEnd(text, pos);  // the empty line after the part's headers
    size_t next = text.find(delimiter, pos);
    size_t end = next == std::string_view::npos ? text.size() : next;
    if (!type.empty()) {
      parts.push_back(SipBodyPart{std::string(type), std::string(text.substr(pos, end - pos))});
    }
    found = next;
  }
}

bool nameMatches(std::string_view name, const HeaderName& wanted) {
  return equalsNoCase(name, wanted.full) ||
         (!wanted.compact.empty() && equalsNoCase(name, wanted.compact));
}

}  // namespace

std::string_view trimmed(std::string_view text) {
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

int32_t decimalValue(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && isBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int64_t value = 0;
  constexpr int64_t kLimit = static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    value = std::min<int64_t>(value * 10 + (text[i] - '0'), kLimit);
    ++i;
  }
  if (negative) return static_cast<int32_t>(-value);
  return static_cast<int32_t>(std::min<int64_t>(value, std::numeric_limits<int32_t>::max()));
}

std::string_view cutChars(std::string_view text, size_t maxChars) {
  size_t pos = 0;
  size_t chars = 0;
  while (pos < text.size() && chars < maxChars) {
    auto lead = static_cast<unsigned char>(text[pos]);
    size_t length = 1;
    if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    }
    if (length > 1) {
      // Only a complete sequence counts as one character; a broken one counts per byte.
      bool complete = pos + length <= text.size();
      for (size_t k = 1; complete && k < length; ++k) {
        complete = (static_cast<unsigned char>(text[pos + k]) & 0xC0) == 0x80;
      }
      if (!complete) length = 1;
    }
    pos += length;
    ++chars;
  }
  return text.substr(0, pos);
}

std::optional<SipMessage> SipMessage::parse(std::string_view text) {
  SipMessage message;
  size_t pos = 0;
  const size_t size = text.size();

  // First line: two tokens and the rest.
  while (pos < size && (isBlank(text[pos]) || isControl(text[pos]))) ++pos;
  if (pos >= size) return std::nullopt;
  std::string_view first = token(text, pos);
  const size_t firstEnd = pos;
  while (pos < size && isBlank(text[pos])) ++pos;
  if (pos >= size || isControl(text[pos])) return std::nullopt;
  const bool oneSpaceAfterFirst = pos == firstEnd + 1 && text[firstEnd] == ' ';
  std::string_view second = token(text, pos);
  const size_t secondEnd = pos;
  std::string_view rest = restOfLine(text, pos);
  const size_t restStart = static_cast<size_t>(rest.data() - text.data());
  message.looseFirstLine = !oneSpaceAfterFirst || restStart != secondEnd + 1 ||
                           text[secondEnd] != ' ' || (!rest.empty() && isBlank(rest.back()));
  consumeLineEnd(text, pos);

  if (startsWithNoCase(first, "SIP/")) {
    message.version = std::string(first);
    message.uri = std::string(second);
    message.status = static_cast<uint16_t>(std::clamp<int32_t>(decimalValue(second), 0, 65535));
    message.reason = std::string(cutChars(rest, kReasonMax));
  } else {
    if (!startsWithNoCase(rest, "SIP/")) return std::nullopt;
    message.method = std::string(cutChars(first, kMethodMax));
    message.version = std::string(cutChars(rest, kReasonMax));
    message.uri = std::string(second);
    message.status = kRequestStatus;
  }

  // Headers, until an empty name.
  for (;;) {
    std::string name;
    while (pos < size && text[pos] != ':' && !isControl(text[pos])) {
      if (!isBlank(text[pos])) name.push_back(text[pos]);
      ++pos;
    }
    if (name.empty()) break;
    if (message.headers.size() == kMaxHeaders) return std::nullopt;
    if (pos < size && text[pos] == ':') ++pos;
    SipHeader header;
    header.name = std::string(cutChars(name, kHeaderNameMax));
    header.value = std::string(restOfLine(text, pos));
    consumeLineEnd(text, pos);
    while (pos < size && isBlank(text[pos])) {
      appendContinuation(header.value, restOfLine(text, pos));
      consumeLineEnd(text, pos);
    }
    message.headers.push_back(std::move(header));
  }
  consumeLineEnd(text, pos);
  message.bytesAfterHeaders = size - pos;

  // Body: the next Content-Length bytes, never more than the datagram still holds.
  std::string contentType = message.header(hdr::kContentType);
  int32_t contentLength = decimalValue(message.header(hdr::kContentLength, "0"));
  if (!contentType.empty() && contentLength > 0) {
    size_t take = std::min<size_t>(static_cast<size_t>(contentLength), size - pos);
    std::string_view body = text.substr(pos, take);
    std::string_view type = mediaType(contentType);
    if (equalsNoCase(type, "multipart/mixed")) {
      splitMultipart(body, boundaryOf(contentType), message.bodies);
    } else {
      message.bodies.push_back(SipBodyPart{std::string(type), std::string(body)});
    }
  }
  return message;
}

std::string SipMessage::header(const HeaderName& name, std::string_view fallback) const {
  for (const SipHeader& h : headers) {
    if (nameMatches(h.name, name)) return h.value;
  }
  return std::string(fallback);
}

std::vector<std::string> SipMessage::headerValues(const HeaderName& name) const {
  std::vector<std::string> values;
  for (const SipHeader& h : headers) {
    if (nameMatches(h.name, name)) values.push_back(h.value);
  }
  return values;
}

std::vector<std::string> SipMessage::headerElements(const HeaderName& name) const {
  std::vector<std::string> elements;
  for (const SipHeader& h : headers) {
    if (!nameMatches(h.name, name)) continue;
    for (std::string& element : splitList(h.value)) elements.push_back(std::move(element));
  }
  return elements;
}

const std::string& SipMessage::body(std::string_view type) const {
  static const std::string kNone;
  for (const SipBodyPart& part : bodies) {
    if (equalsNoCase(part.type, type)) return part.text;
  }
  return kNone;
}

bool SipMessage::hasBody(std::string_view type) const {
  return std::any_of(bodies.begin(), bodies.end(),
                     [&](const SipBodyPart& part) { return equalsNoCase(part.type, type); });
}

}  // namespace quillet::sip
