// SPDX-License-Identifier: Apache-2.0
// StreamFramer: cuts the byte stream of a SIP connection (TCP or TLS) into messages by
// their Content-Length, and tells the CR LF keep-alive pings and pongs apart from them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillet::sip {

class StreamFramer {
 public:
  // The largest message a connection may carry; a larger one ends the connection.
  static constexpr size_t kMaxMessage = 65536;

  enum class Item {
    None,     // nothing complete yet: feed more bytes
    Message,  // `message` holds one complete message (headers and body)
    Ping,     // a double CR LF between messages: answer with one CR LF
    Pong,     // a single CR LF between messages (the answer to a ping of ours)
    Error     // the stream cannot be framed: `error` says why; close the connection
  };

  // Appends received bytes; the caller then takes items until None or Error.
  void feed(std::string_view bytes);
  Item next();

  const std::string& message() const { return message_; }
  const std::string& error() const { return error_; }
  // Bytes of a message begun but not complete (what a stalled peer holds open).
  bool midMessage() const { return !buffer_.empty(); }

 private:
  Item fail(std::string reason);

  std::string buffer_;
  std::string message_;
  std::string error_;
  bool failed_ = false;
};

}  // namespace quillet::sip
