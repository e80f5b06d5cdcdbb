// SPDX-License-Identifier: Apache-2.0
// Reading the server part of a URI for the server location, and the ordering of NAPTR and
// SRV records.
#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

#include "sip/server_locator.h"
#include "sip/sip_message.h"

namespace quillet::sip {

namespace {

constexpr size_t kMaxHostChars = 253;

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalsNoCase(text.substr(0, prefix.size()), prefix);
}

bool isIpv4(const std::string& text) {
  in_addr address{};
  return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

bool isIpv6(const std::string& text) {
  in6_addr address{};
  return inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

bool isDomainName(std::string_view name) {
  if (name.empty() || name.size() > kMaxHostChars) return false;
  size_t label = 0;
  for (char c : name) {
    if (c == '.') {
      if (label == 0 || label > 63) return false;
      label = 0;
    } else if (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_') {
      ++label;
    } else {
      return false;
    }
  }
  return label > 0 && label <= 63;
}

// host, [v6] or v6 (maddr) into `out`; false for anything else.
bool readHost(std::string_view text, ServerName& out) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']')
    text = text.substr(1, text.size() - 2);
  if (!text.empty() && text.back() == '.') text.remove_suffix(1);  // the root's dot
  out.host = std::string(text);
  out.numeric = isIpv4(out.host) || isIpv6(out.host);
  return out.numeric || isDomainName(out.host);
}

bool readPort(std::string_view text, std::optional<uint16_t>& port) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

// "host", "host:port", "[v6]", "[v6]:port".
bool readHostPort(std::string_view text, ServerName& out, std::string& error) {
  std::string_view host = text;
  std::string_view port;
  bool hasPort = false;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) {
      error = "bad host name";
      return false;
    }
    host = text.substr(0, close + 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') {
        error = "bad host name";
        return false;
      }
      port = text.substr(close + 2);
      hasPort = true;
    }
    if (!isIpv6(std::string(host.substr(1, host.size() - 2)))) {
      error = "bad IPv6 address";
      return false;
    }
  } else if (const size_t colon = text.find(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    hasPort = true;
  }
  if (hasPort && !readPort(port, out.port)) {
    error = "bad port";
    return false;
  }
  if (!readHost(host, out)) {
    error = "bad host name";
    return false;
  }
  return true;
}

// The transport and maddr parameters; false (error set) for a transport not supported.
bool readParams(std::string_view params, ServerName& out, std::string& error) {
  while (!params.empty()) {
    const size_t semicolon = params.find(';');
    const std::string_view param = params.substr(0, semicolon);
    params =
        semicolon == std::string_view::npos ? std::string_view() : params.substr(semicolon + 1);
    const size_t equals = param.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view name = param.substr(0, equals);
    const std::string_view value = param.substr(equals + 1);
    if (equalsNoCase(name, "transport")) {
      out.transport = transportFromName(value);
      if (!out.transport) {
        error = "unsupported transport " + std::string(value.substr(0, 20));
        return false;
      }
    } else if (equalsNoCase(name, "maddr") && !readHost(value, out)) {
      error = "bad maddr";
      return false;
    }
  }
  return true;
}

// The text between "<" and ">" when there are brackets, trimmed.
std::string_view innerUri(std::string_view uri) {
  if (const size_t open = uri.find('<'); open != std::string_view::npos) {
    uri = uri.substr(open + 1);
    uri = uri.substr(0, uri.find('>'));
  }
  while (!uri.empty() && std::isspace(static_cast<unsigned char>(uri.front())) != 0)
    uri.remove_prefix(1);
  while (!uri.empty() && std::isspace(static_cast<unsigned char>(uri.back())) != 0)
    uri.remove_suffix(1);
  return uri;
}

// Another scheme than sip: or sips: ("tel:", "mailto:"); "host:5060" has none.
bool hasOtherScheme(std::string_view text) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 >= text.size()) return false;
  if (std::isdigit(static_cast<unsigned char>(text[colon + 1])) != 0) return false;
  return std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(colon), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '+' || c == '-' || c == '.';
  });
}

}  // namespace

std::string unableToFindText(std::string_view host, std::string_view reason) {
  return "Unable to find address of server: " + std::string(host) + " (" + std::string(reason) +
         ")";
}

std::optional<ServerName> readServerName(std::string_view uri, std::optional<TransportKind> forced,
                                         std::string& error) {
  std::string_view text = innerUri(uri);
  ServerName out;
  if (startsWithNoCase(text, "sips:")) {
    out.secure = true;
    text.remove_prefix(5);
  } else if (startsWithNoCase(text, "sip:")) {
    text.remove_prefix(4);
  } else if (hasOtherScheme(text)) {
    error = "not a SIP URI";
    return std::nullopt;
  }
  text = text.substr(0, text.find('?'));
  if (const size_t at = text.rfind('@'); at != std::string_view::npos) text.remove_prefix(at + 1);
  const size_t semicolon = text.find(';');
  const std::string_view params =
      semicolon == std::string_view::npos ? std::string_view() : text.substr(semicolon + 1);
  if (!readHostPort(text.substr(0, semicolon), out, error) || !readParams(params, out, error)) {
    return std::nullopt;
  }
  if (forced) out.transport = forced;
  if (out.secure) {
    if (out.transport == TransportKind::Udp) {
      error = "sips: needs TLS, not UDP";
      return std::nullopt;
    }
    out.transport = TransportKind::Tls;  // sips: over TCP is TLS
  }
  return out;
}

std::optional<TransportKind> naptrTransport(std::string_view service) {
  if (equalsNoCase(service, "SIPS+D2T")) return TransportKind::Tls;
  if (equalsNoCase(service, "SIP+D2T")) return TransportKind::Tcp;
  if (equalsNoCase(service, "SIP+D2U")) return TransportKind::Udp;
  return std::nullopt;
}

std::vector<net::NaptrRecord> orderNaptr(std::vector<net::NaptrRecord> records, bool secureOnly) {
  std::erase_if(records, [secureOnly](const net::NaptrRecord& r) {
    const std::optional<TransportKind> transport = naptrTransport(r.service);
    const bool terminal = equalsNoCase(r.flags, "s");
    return !transport || (secureOnly && transport != TransportKind::Tls) ||
           !(terminal || r.flags.empty()) || r.replacement.empty() || r.replacement == ".";
  });
  std::stable_sort(records.begin(), records.end(), [](const auto& a, const auto& b) {
    return a.order != b.order ? a.order < b.order : a.preference < b.preference;
  });
  return records;
}

std::vector<net::SrvRecord> orderSrv(std::vector<net::SrvRecord> records, std::mt19937& random) {
  std::erase_if(records,
                [](const net::SrvRecord& r) { return r.target.empty() || r.target == "."; });
  std::stable_sort(records.begin(), records.end(),
                   [](const auto& a, const auto& b) { return a.priority < b.priority; });
  std::vector<net::SrvRecord> ordered;
  ordered.reserve(records.size());
  for (size_t first = 0; first < records.size();) {
    size_t end = first;
    while (end < records.size() && records[end].priority == records[first].priority) ++end;
    // The weighted draw: weight-0 records first in the list, a running sum, a number drawn
    // from 0 to the sum, the first record whose running sum reaches it goes next.
    std::vector<net::SrvRecord> group(records.begin() + static_cast<std::ptrdiff_t>(first),
                                      records.begin() + static_cast<std::ptrdiff_t>(end));
    std::stable_partition(group.begin(), group.end(), [](const auto& r) { return r.weight == 0; });
    while (!group.empty()) {
      uint32_t sum = 0;
      for (const auto& r : group) sum += r.weight;
      const uint32_t drawn = std::uniform_int_distribution<uint32_t>(0, sum)(random);
      size_t pick = 0;
      for (uint32_t running = 0; pick < group.size(); ++pick) {
        running += group[pick].weight;
        if (running >= drawn) break;
      }
      ordered.push_back(std::move(group[pick]));
      group.erase(group.begin() + static_cast<std::ptrdiff_t>(pick));
    }
    first = end;
  }
  return ordered;
}

std::string srvName(TransportKind transport, std::string_view domain) {
  switch (transport) {
    case TransportKind::Tls:
      return "_sips._tcp." + std::string(domain);
    case TransportKind::Tcp:
      return "_sip._tcp." + std::string(domain);
    case TransportKind::Udp:
      break;
  }
  return "_sip._udp." + std::string(domain);
}

}  // namespace quillet::sip
