// SPDX-License-Identifier: Apache-2.0
// Stamping received/rport into a received request's top Via, and reading them back from
// a response to this side's request.
#include "sip/sip_via.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "platform/socket.h"
#include "sip/sip_message.h"
#include "sip/sip_uri.h"

namespace quillet::sip {

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

// One parameter of a Via element: its name and where the whole "name[=value]" stands.
struct ViaParam {
  std::string_view name;
  std::string_view value;
  size_t start = 0;  // offset of the name in the element
  size_t end = 0;    // offset just past the value (or the name)
};

// A Via element ("SIP/2.0/UDP host[:port];params"), read without copying.
struct ViaElement {
  std::string_view host;  // without brackets for an IPv6 reference
  std::string_view port;  // empty when none is written
  std::vector<ViaParam> params;
  size_t end = 0;  // offset of the element's last non-blank character + 1
};

// The end of the first element of a Via value: the first "," outside quotes.
size_t firstElementEnd(std::string_view value) {
  bool quoted = false;
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (quoted && c == '\\') {
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      return i;
    }
  }
  return value.size();
}

ViaElement readElement(std::string_view value) {
  ViaElement via;
  size_t end = firstElementEnd(value);
  while (end > 0 && isBlank(value[end - 1])) --end;
  via.end = end;
  const std::string_view element = value.substr(0, end);
  // The protocol, then blanks, then sent-by up to the first ";".
  size_t pos = 0;
  while (pos < element.size() && isBlank(element[pos])) ++pos;
  while (pos < element.size() && !isBlank(element[pos])) ++pos;
  const size_t semicolon = element.find(';', pos);
  std::string_view sentBy = trimmed(
      element.substr(pos, semicolon == std::string_view::npos ? element.npos : semicolon - pos));
  if (!sentBy.empty() && sentBy.front() == '[') {
    const size_t close = sentBy.find(']');
    via.host = sentBy.substr(1, close == std::string_view::npos ? sentBy.npos : close - 1);
    sentBy.remove_prefix(close == std::string_view::npos ? sentBy.size() : close + 1);
    if (!sentBy.empty() && sentBy.front() == ':') via.port = trimmed(sentBy.substr(1));
  } else {
    const size_t colon = sentBy.find(':');
    via.host = trimmed(sentBy.substr(0, colon));
    if (colon != std::string_view::npos) via.port = trimmed(sentBy.substr(colon + 1));
  }
  size_t at = semicolon;
  while (at != std::string_view::npos) {
    size_t next = element.find(';', at + 1);
    size_t stop = next == std::string_view::npos ? element.size() : next;
    size_t start = at + 1;
    while (start < stop && isBlank(element[start])) ++start;
    const std::string_view text = trimmed(element.substr(start, stop - start));
    ViaParam param;
    const size_t eq = text.find('=');
    param.name = trimmed(text.substr(0, eq));
    if (eq != std::string_view::npos) param.value = trimmed(text.substr(eq + 1));
    param.start = start;
    param.end = start + text.size();
    if (!param.name.empty()) via.params.push_back(param);
    at = next;
  }
  return via;
}

const ViaParam* findParam(const ViaElement& via, std::string_view name) {
  for (const ViaParam& param : via.params) {
    if (equalsNoCase(param.name, name)) return &param;
  }
  return nullptr;
}

SipHeader* topViaHeader(SipMessage& message) {
  for (SipHeader& header : message.headers) {
    if (equalsNoCase(header.name, hdr::kVia.full) || equalsNoCase(header.name, hdr::kVia.compact))
      return &header;
  }
  return nullptr;
}

}  // namespace

void stampTopVia(SipMessage& request, const platform::SocketAddress& source) {
  SipHeader* header = topViaHeader(request);
  if (header == nullptr) return;
  const ViaElement via = readElement(header->value);
  const std::string address = source.host();
  const ViaParam* rport = findParam(via, "rport");
  const ViaParam* received = findParam(via, "received");
  // The same address may be written another way ("0:0::1" for "::1").
  const std::optional<platform::SocketAddress> sentBy = platform::SocketAddress::parse(via.host, 0);
  const bool sameHost = sentBy ? sentBy->sameHost(source) : via.host == address;
  const bool wantReceived = rport != nullptr || !sameHost;

  // Edits from the back of the element, so that the offsets in front stay valid.
  struct Edit {
    size_t start;
    size_t end;
    std::string text;
  };
  std::vector<Edit> edits;
  if (wantReceived && received == nullptr) {
    edits.push_back({via.end, via.end, ";received=" + address});
  }
  if (rport != nullptr) {
    edits.push_back({rport->start, rport->end, "rport=" + std::to_string(source.port())});
  }
  if (wantReceived && received != nullptr) {
    edits.push_back({received->start, received->end, "received=" + address});
  }
  std::sort(edits.begin(), edits.end(),
            [](const Edit& a, const Edit& b) { return a.start > b.start; });
  for (const Edit& edit : edits) {
    header->value.replace(edit.start, edit.end - edit.start, edit.text);
  }
}

std::optional<ReportedAddress> reportedAddress(const SipMessage& response) {
  const std::string top = response.header(hdr::kVia);
  const ViaElement via = readElement(top);
  const ViaParam* received = findParam(via, "received");
  const ViaParam* rport = findParam(via, "rport");
  const bool hasReceived = received != nullptr && !received->value.empty();
  const int32_t rportValue = rport != nullptr ? decimalValue(rport->value) : 0;
  if (!hasReceived && (rportValue <= 0 || rportValue > 65535)) return std::nullopt;
  ReportedAddress reported;
  reported.address =
      std::string(platform::withoutBrackets(hasReceived ? received->value : via.host));
  if (rportValue > 0 && rportValue <= 65535) {
    reported.port = static_cast<uint16_t>(rportValue);
  } else {
    const int32_t sentByPort = decimalValue(via.port);
    reported.port =
        sentByPort > 0 && sentByPort <= 65535 ? static_cast<uint16_t>(sentByPort) : kDefaultSipPort;
  }
  return reported;
}

}  // namespace quillet::sip
