// SPDX-License-Identifier: Apache-2.0
// Framing SIP messages on a stream: the header block ends at the first empty line, the
// body is Content-Length bytes (RFC 3261 section 18.3: the header is mandatory on
// streams; without it the message is taken to have no body).
#include "sip/stream_framer.h"

#include <optional>

#include "sip/sip_message.h"

namespace quillet::sip {

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

// The Content-Length of a header block (full or compact name); 0 when absent; nothing
// when the value is not a plain decimal number or is beyond any message we take.
std::optional<size_t> contentLength(std::string_view head) {
  size_t pos = 0;
  std::optional<size_t> length = 0;
  while (pos < head.size()) {
    size_t end = head.find('\n', pos);
    if (end == std::string_view::npos) end = head.size();
    std::string_view line = head.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || line.empty() || isBlank(line.front())) continue;
    std::string_view name = line.substr(0, colon);
    while (!name.empty() && isBlank(name.back())) name.remove_suffix(1);
    if (!equalsNoCase(name, "Content-Length") && !equalsNoCase(name, "l")) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && isBlank(value.front())) value.remove_prefix(1);
    while (!value.empty() && isBlank(value.back())) value.remove_suffix(1);
    if (value.empty() || value.size() > 9) return std::nullopt;
    size_t number = 0;
    for (char c : value) {
      if (c < '0' || c > '9') return std::nullopt;
      number = number * 10 + static_cast<size_t>(c - '0');
    }
    length = number;
  }
  return length;
}

}  // namespace

void StreamFramer::feed(std::string_view bytes) {
  if (!failed_) buffer_.append(bytes);
}

StreamFramer::Item StreamFramer::fail(std::string reason) {
  failed_ = true;
  buffer_.clear();
  error_ = std::move(reason);
  return Item::Error;
}

StreamFramer::Item StreamFramer::next() {
  if (failed_) return Item::Error;
  // Between messages only keep-alives may stand: CR LF CR LF is a ping, CR LF a pong.
  if (buffer_.starts_with("\r\n\r\n")) {
    buffer_.erase(0, 4);
    return Item::Ping;
  }
  if (buffer_.starts_with("\r\n")) {
    if (buffer_.size() < 4 && std::string_view("\r\n\r\n").starts_with(buffer_)) {
      // Perhaps the first half of a ping: wait for more, unless it can only be a pong.
      if (buffer_.size() == 2) {
        buffer_.clear();
        return Item::Pong;
      }
      return Item::None;
    }
    buffer_.erase(0, 2);
    return Item::Pong;
  }
  const size_t headEnd = buffer_.find("\r\n\r\n");
  if (headEnd == std::string::npos) {
    if (buffer_.size() > kMaxMessage) return fail("a header block longer than 64 KiB");
    return Item::None;
  }
  const std::optional<size_t> length = contentLength(std::string_view(buffer_).substr(0, headEnd));
  if (!length) return fail("an unreadable Content-Length");
  const size_t total = headEnd + 4 + *length;
  if (total > kMaxMessage) return fail("a message longer than 64 KiB");
  if (buffer_.size() < total) return Item::None;
  message_.assign(buffer_, 0, total);
  buffer_.erase(0, total);
  return Item::Message;
}

}  // namespace quillet::sip
