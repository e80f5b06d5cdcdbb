// SPDX-License-Identifier: Apache-2.0
// TCP connections, the HTTP GET exchange and the HTTP address lookup.
#include "net/http_client.h"

#include <algorithm>

#include "base/net_facts.h"
#include "platform/tick.h"

namespace quillet::net {

namespace {

constexpr size_t kTextMax = 259;
constexpr size_t kSendPiece = 1024;

}  // namespace

UrlParts splitUrl(std::string_view url) {
  const size_t scheme = url.find("//");
  if (scheme != std::string_view::npos) url.remove_prefix(scheme + 2);
  const size_t slash = url.find('/');
  UrlParts parts;
  parts.host = std::string(url.substr(0, std::min(slash, kTextMax)));
  if (slash != std::string_view::npos) parts.path = std::string(url.substr(slash));
  return parts;
}

NetResult tcpConnectHost(platform::Event* stop, std::string_view hostText, int32_t timeoutMs,
                         platform::UniqueFd& out) {
  uint16_t port = 80;
  const size_t colon = hostText.find(':');
  if (colon != std::string_view::npos) {
    uint32_t value = 0;
    for (size_t i = colon + 1; i < hostText.size() && hostText[i] >= '0' && hostText[i] <= '9';
         ++i) {
      value = (value * 10 + static_cast<uint32_t>(hostText[i] - '0')) & 0xFFFFu;
    }
    port = static_cast<uint16_t>(value);
  }
  for (uint32_t address : base::resolveHostList(hostText.substr(0, colon))) {
    const NetResult result = platform::tcpConnect({address, port}, timeoutMs, stop, out);
    if (result != NetResult::Failed) return result;
  }
  return NetResult::Failed;
}

NetResult tcpSendText(platform::Event* stop, int fd, std::string_view text, int32_t timeoutMs) {
  while (!text.empty()) {
    const std::string_view piece = text.substr(0, kSendPiece);
    const NetResult result = platform::tcpSendAll(fd, piece, timeoutMs, stop);
    if (result != NetResult::Done) return result;
    text.remove_prefix(piece.size());
  }
  return NetResult::Done;
}

NetResult tcpReadAll(platform::Event* stop, int fd, size_t limit, int32_t timeoutMs,
                     std::string& out) {
  out.clear();
  char buffer[2048];
  while (out.size() < limit) {
    size_t received = 0;
    const size_t want = std::min(sizeof buffer, limit - out.size());
    const NetResult result = platform::tcpReceive(fd, buffer, want, timeoutMs, stop, received);
    if (result == NetResult::Cancelled) return result;
    if (result == NetResult::Failed || received == 0) break;
    out.append(buffer, received);
  }
  return out.empty() ? NetResult::Failed : NetResult::Done;
}

NetResult httpGet(platform::Event* stop, std::string_view url, std::string& reply, size_t size,
                  int32_t timeoutMs) {
  reply.clear();
  if (size == 0) return NetResult::Failed;
  const UrlParts parts = splitUrl(url);
  platform::UniqueFd fd;
  NetResult result = tcpConnectHost(stop, parts.host, timeoutMs, fd);
  if (result != NetResult::Done) return result;
  const std::string request = "GET " + parts.path + " HTTP/1.0\r\nHost: " + parts.host + "\r\n\r\n";
  result = tcpSendText(stop, fd.get(), request, timeoutMs);
  if (result != NetResult::Done) return result;
  return tcpReadAll(stop, fd.get(), size - 1, timeoutMs, reply);
}

bool HttpAddressScanner::feed(std::string_view bytes) {
  for (char c : bytes) {
    if (!address_.empty()) return true;
    if (c == '\r') continue;
    if (c != '\n') {
      if (current_.size() < kTextMax) current_ += c;
      continue;
    }
    const std::string text = std::move(current_);
    current_.clear();
    if (line(text)) return true;
  }
  return !address_.empty();
}

bool HttpAddressScanner::line(const std::string& text) {
  if (testNext_ && !text.empty()) {
    testNext_ = false;
    const uint32_t address = resolve_(text);
    if (address != 0 && !base::isPrivateAddress(address)) {
      address_ = text;
      return true;
    }
    return false;
  }
  if (text.empty()) testNext_ = true;
  return false;
}

std::optional<std::string> httpLookupAddress(platform::Event* stop, std::string_view server) {
  const UrlParts parts = splitUrl(server);
  platform::UniqueFd fd;
  if (tcpConnectHost(stop, parts.host, 12000, fd) != NetResult::Done) return std::nullopt;
  const std::string request = "GET " + parts.path + " HTTP/1.0\r\nHost: " + parts.host + "\r\n\r\n";
  if (tcpSendText(stop, fd.get(), request, 10000) != NetResult::Done) return std::nullopt;
  HttpAddressScanner scanner([](const std::string& line) { return base::resolveHost(line); });
  char buffer[1024];
  for (;;) {
    size_t received = 0;
    if (platform::tcpReceive(fd.get(), buffer, sizeof buffer, 10000, stop, received) !=
            NetResult::Done ||
        received == 0) {
      break;
    }
    if (scanner.feed(std::string_view(buffer, received))) return scanner.address();
  }
  // A last line without its line end still counts.
  if (scanner.feed("\n")) return scanner.address();
  return std::nullopt;
}

}  // namespace quillet::net
