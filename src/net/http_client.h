// SPDX-License-Identifier: Apache-2.0
// The HTTP side of NAT traversal: TCP connections to "host[:port]" that give way to a stop
// event, the GET exchange, and the HTTP address lookup with its reply scanner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/event.h"
#include "platform/socket.h"

namespace quillet::net {

using platform::NetResult;

// "scheme://host[:port]/path" split: host text (at most 259 characters, port kept) and the
// path with its "/" (empty when the URL has none).
struct UrlParts {
  std::string host;
  std::string path;
};
UrlParts splitUrl(std::string_view url);

// Connects to "host[:port]" (default 80), trying up to 4 addresses of the host in turn.
NetResult tcpConnectHost(platform::Event* stop, std::string_view hostText, int32_t timeoutMs,
                         platform::UniqueFd& out);
// Sends everything in pieces of at most 1024 bytes.
NetResult tcpSendText(platform::Event* stop, int fd, std::string_view text, int32_t timeoutMs);
// Reads until the peer closes, `limit` bytes are read or a wait times out. Done unless
// cancelled or nothing could be read at all.
NetResult tcpReadAll(platform::Event* stop, int fd, size_t limit, int32_t timeoutMs,
                     std::string& out);

// GET of `url` (HTTP/1.0): the raw reply, headers included, at most size - 1 bytes.
NetResult httpGet(platform::Event* stop, std::string_view url, std::string& reply, size_t size,
                  int32_t timeoutMs);

// The address lookup's reading of a reply, line by line (CR dropped, at most 259
// characters kept): after each empty line the next line is tested; the first that names a
// non-zero, non-private address is the answer. `resolve` turns a line into an address.
class HttpAddressScanner {
 public:
  using Resolver = std::function<uint32_t(const std::string&)>;
  explicit HttpAddressScanner(Resolver resolve) : resolve_(std::move(resolve)) {}
  // Feeds received bytes; true once the address is found.
  bool feed(std::string_view bytes);
  const std::string& address() const { return address_; }

 private:
  bool line(const std::string& text);

  Resolver resolve_;
  std::string current_;
  bool testNext_ = false;
  std::string address_;
};

// The HTTP lookup of the public address from "HTTPServer" (host and path). Nothing when
// it fails or is cancelled.
std::optional<std::string> httpLookupAddress(platform::Event* stop, std::string_view server);

}  // namespace quillet::net
