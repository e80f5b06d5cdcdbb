// SPDX-License-Identifier: Apache-2.0
// SIP URIs and name-addrs: parsing and printing, escaping, dial strings, route rules.
#include "sip/sip_uri.h"

#include <algorithm>

#include "base/text_builder.h"
#include "sip/sip_message.h"

namespace quillet::sip {

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (isBlank(text.front()) || text.front() == '\r' || text.front() == '\n')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (isBlank(text.back()) || text.back() == '\r' || text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Replaces every byte that is not part of a valid UTF-8 sequence by U+FFFD.
std::string validUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    auto b = static_cast<unsigned char>(bytes[i]);
    size_t length = 0;
    uint32_t min = 0;
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
    if (b >= 0xC2 && b <= 0xDF) {
      length = 2;
      min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      length = 3;
      min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      length = 4;
      min = 0x10000;
    }
    bool good = length > 0 && i + length <= bytes.size();
    uint32_t cp = 0;
    if (good) {
      cp = b & (0xFF >> (length + 1));
      for (size_t k = 1; k < length; ++k) {
        auto c = static_cast<unsigned char>(bytes[i + k]);
        if ((c & 0xC0) != 0x80) {
          good = false;
          break;
        }
        cp = (cp << 6) | (c & 0x3F);
      }
      good = good && cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    }
    if (good) {
      out.append(bytes.substr(i, length));
      i += length;
    } else {
      out.append("\xEF\xBF\xBD");
      ++i;
    }
  }
  return out;
}

// Splits "name=value;name=value" into unescaped pairs, in order.
ParamList splitParams(std::string_view text) {
  ParamList params;
  size_t i = 0;
  while (i < text.size()) {
    size_t nameEnd = text.find_first_of("=;", i);
    if (nameEnd == std::string_view::npos) nameEnd = text.size();
    Param param;
    param.name = unescape(text.substr(i, nameEnd - i));
    i = nameEnd;
    if (i < text.size() && text[i] == '=') {
      size_t valueEnd = text.find(';', i + 1);
      if (valueEnd == std::string_view::npos) valueEnd = text.size();
      param.value = unescape(text.substr(i + 1, valueEnd - i - 1));
      i = valueEnd;
    }
    if (i < text.size()) ++i;  // the ";"
    if (!param.name.empty()) params.push_back(std::move(param));
  }
  return params;
}

uint16_t portValue(std::string_view text) {
  int32_t value = decimalValue(text);
  return static_cast<uint16_t>(std::clamp<int32_t>(value, 0, 65535));
}

// A walk over a header value that knows whether it stands inside a quoted string (where a
// backslash takes the next character) or inside angle brackets.
struct QuoteWalk {
  bool quoted = false;
  int angle = 0;
  bool strayClose = false;  // a ">" with no "<" open

  // Takes value[i], and the character a backslash escapes; answers how many it took.
  size_t take(std::string_view value, size_t i) {
    const char c = value[i];
    if (quoted) {
      if (c == '\\' && i + 1 < value.size()) return 2;
      if (c == '"') quoted = false;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '<') {
      ++angle;
    } else if (c == '>') {
      if (angle > 0) {
        --angle;
      } else {
        strayClose = true;
      }
    }
    return 1;
  }
  bool outside() const { return !quoted && angle == 0; }
};

// The end of the first list element: the first "," outside quotes and angle brackets.
size_t elementEnd(std::string_view value, size_t from) {
  QuoteWalk walk;
  for (size_t i = from; i < value.size();) {
    if (value[i] == ',' && walk.outside()) return i;
    i += walk.take(value, i);
  }
  return value.size();
}

}  // namespace

std::string paramValue(const ParamList& params, std::string_view name, std::string_view fallback) {
  for (const Param& p : params) {
    if (p.name == name) return p.value;
  }
  return std::string(fallback);
}

bool hasParam(const ParamList& params, std::string_view name) {
  return std::any_of(params.begin(), params.end(), [&](const Param& p) { return p.name == name; });
}

SipUri parseUri(std::string_view text) {
  SipUri uri;
  std::string_view hostPart;
  size_t at = text.find('@');
  if (at != std::string_view::npos) {
    std::string_view userPart = text.substr(0, at);
    hostPart = text.substr(at + 1);
    size_t colon = userPart.find(':');
    if (colon != std::string_view::npos) {
      uri.scheme = std::string(userPart.substr(0, colon));
      userPart.remove_prefix(colon + 1);
    }
    size_t passwordColon = userPart.find(':');
    if (passwordColon != std::string_view::npos) {
      uri.password = std::string(userPart.substr(passwordColon + 1));
      userPart = userPart.substr(0, passwordColon);
    }
    uri.user = std::string(userPart);
  } else {
    size_t colon = text.find(':');
    // "[2001:db8::7]:5070" is a host, not a scheme.
    if (colon != std::string_view::npos && colon < 5 && !text.starts_with('[')) {
      uri.scheme = std::string(text.substr(0, colon));
      hostPart = text.substr(colon + 1);
    } else {
      hostPart = text;
    }
  }

  std::string_view paramText;
  size_t semicolon = hostPart.find(';');
  if (semicolon != std::string_view::npos) {
    paramText = hostPart.substr(semicolon + 1);
    hostPart = hostPart.substr(0, semicolon);
  } else if (size_t question = hostPart.find('?'); question != std::string_view::npos) {
    paramText = hostPart.substr(question);
    hostPart = hostPart.substr(0, question);
  }

  // An IPv6 reference keeps its brackets; its port follows the "]".
  const size_t close = hostPart.starts_with('[') ? hostPart.find(']') : std::string_view::npos;
  size_t portColon = hostPart.find(':', close == std::string_view::npos ? 0 : close);
  if (portColon != std::string_view::npos) {
    uri.hasPort = true;
    uri.port = portValue(hostPart.substr(portColon + 1));
    hostPart = hostPart.substr(0, portColon);
  }
  uri.host = std::string(hostPart);

  size_t question = paramText.find('?');
  if (question != std::string_view::npos) {
    std::string_view headerText = paramText.substr(question + 1);
    paramText = paramText.substr(0, question);
    while (!headerText.empty()) {
      size_t amp = headerText.find('&');
      std::string_view one = headerText.substr(0, amp);
      headerText = amp == std::string_view::npos ? std::string_view() : headerText.substr(amp + 1);
      if (one.empty()) continue;
      size_t eq = one.find('=');
      Param header;
      header.name = std::string(one.substr(0, eq));
      if (eq != std::string_view::npos) header.value = std::string(one.substr(eq + 1));
      uri.headers.push_back(std::move(header));
    }
  }
  uri.params = splitParams(paramText);
  return uri;
}

std::string printUri(const SipUri& uri) {
  base::TextBuilder text;
  text.Format("%s:", uri.scheme);
  if (!uri.user.empty()) {
    if (!uri.password.empty()) {
      text.AppendFormat("%s:%s@", uri.user, uri.password);
    } else {
      text.AppendFormat("%s@", uri.user);
    }
  }
  text.Append(uri.host);
  if (uri.hasPort) text.AppendFormat(":%d", uri.port);
  return text.take();
}

NameAddr parseNameAddr(std::string_view text) {
  NameAddr result;
  size_t i = 0;
  while (i < text.size() && isBlank(text[i])) ++i;
  bool quotedName = false;
  if (i < text.size() && text[i] == '"') {
    quotedName = true;
    size_t close = text.find('"', i + 1);
    if (close == std::string_view::npos) close = text.size();
    result.displayName = std::string(text.substr(i + 1, close - i - 1));
    i = std::min(close + 1, text.size());
    while (i < text.size() && isBlank(text[i])) ++i;
  }
  std::string_view rest = text.substr(i);
  std::string_view uriText;
  std::string_view paramText;
  size_t open = rest.find('<');
  if (open != std::string_view::npos) {
    if (!quotedName) result.displayName = std::string(trim(rest.substr(0, open)));
    size_t close = rest.find('>', open + 1);
    if (close == std::string_view::npos) {
      uriText = rest.substr(open + 1);
    } else {
      uriText = rest.substr(open + 1, close - open - 1);
      size_t semicolon = rest.find(';', close + 1);
      if (semicolon != std::string_view::npos) paramText = rest.substr(semicolon + 1);
    }
  } else {
    size_t semicolon = rest.find(';');
    uriText = trim(rest.substr(0, semicolon));
    if (semicolon != std::string_view::npos) paramText = rest.substr(semicolon + 1);
  }
  result.uri = std::string(uriText);
  if (result.uri.find(':') == std::string::npos) result.uri = base::format("sip:%s", uriText);
  result.params = splitParams(paramText);
  return result;
}

std::string stripParameters(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '"') {
      size_t close = text.find('"', i + 1);
      i = close == std::string_view::npos ? text.size() : close + 1;
    } else if (c == '<') {
      size_t close = text.find('>', i + 1);
      i = close == std::string_view::npos ? text.size() : close + 1;
    } else if (c == ';') {
      break;
    } else {
      ++i;
    }
  }
  return std::string(text.substr(0, i));
}

std::string shownText(std::string_view text) {
  return std::string(cutChars(text, kShownTextMax));
}

std::string uriEscape(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  static constexpr std::string_view kReserved = "%:/?#[]@!$&'()*+,;=";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto b = static_cast<unsigned char>(ch);
    if (b <= 32 || b > 127 || kReserved.find(ch) != std::string_view::npos) {
      out.push_back('%');
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 15]);
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

std::string unescape(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) break;  // a "%" at the very end stops the scan
      int high = hexValue(text[i + 1]);
      int low = hexValue(text[i + 2]);
      if (high < 0 || low < 0) {
        bytes.push_back('%');  // not an escape: kept as written
        ++i;
        continue;
      }
      int value = high * 16 + low;
      if (value != 0) bytes.push_back(static_cast<char>(value));
      i += 3;
    } else {
      bytes.push_back(c);
      ++i;
    }
  }
  return validUtf8(bytes);
}

bool isDialable(std::string_view text) {
  if (text.empty()) return false;
  bool hasOpen = text.find('<') != std::string_view::npos;
  bool hasClose = text.find('>') != std::string_view::npos;
  return hasOpen == hasClose;
}

std::string dialToNameAddr(std::string_view text, std::string_view lineServer) {
  if (text.find('<') != std::string_view::npos) return std::string(text);
  std::string compact;
  for (char c : text) {
    if (!isBlank(c)) compact.push_back(c);
  }
  size_t at = compact.find('@');
  size_t colon = compact.find(':');
  bool hasScheme = colon != std::string::npos && (at == std::string::npos || colon < at);
  std::string_view prefix = hasScheme ? "" : "sip:";
  if (at != std::string::npos) return base::format("<%s%s>", prefix, compact);
  return base::format("<%s%s@%s>", prefix, compact, lineServer);
}

bool quotesAndBracketsClosed(std::string_view value) {
  QuoteWalk walk;
  for (size_t i = 0; i < value.size();) i += walk.take(value, i);
  return walk.outside() && !walk.strayClose;
}

std::vector<std::string> splitList(std::string_view value) {
  std::vector<std::string> elements;
  size_t i = 0;
  while (i <= value.size()) {
    size_t end = elementEnd(value, i);
    std::string_view element = trim(value.substr(i, end - i));
    if (!element.empty()) elements.emplace_back(element);
    i = end + 1;
  }
  return elements;
}

std::string routeSetFromRequest(const std::vector<std::string>& recordRouteValues) {
  std::string routeSet;
  for (const std::string& value : recordRouteValues) {
    if (!routeSet.empty()) routeSet.push_back(',');
    routeSet.append(value);
  }
  return routeSet;
}

std::string routeSetFromResponse(const std::vector<std::string>& recordRouteValues) {
  std::vector<std::string> elements;
  for (const std::string& value : recordRouteValues) {
    for (std::string& element : splitList(value)) elements.push_back(std::move(element));
  }
  std::string routeSet;
  for (auto it = elements.rbegin(); it != elements.rend(); ++it) {
    if (!routeSet.empty()) routeSet.push_back(',');
    routeSet.append(*it);
  }
  return routeSet;
}

std::optional<TransportKind> uriTransport(const SipUri& uri) {
  if (equalsNoCase(uri.scheme, "sips")) return TransportKind::Tls;
  for (const Param& param : uri.params) {
    if (equalsNoCase(param.name, "transport")) return transportFromName(param.value);
  }
  return std::nullopt;
}

namespace {

bool hasSipScheme(std::string_view text) {
  return (text.size() >= 4 && equalsNoCase(text.substr(0, 4), "sip:")) ||
         (text.size() >= 5 && equalsNoCase(text.substr(0, 5), "sips:"));
}

}  // namespace

SipUri serverUri(std::string_view serverSetting) {
  serverSetting = trim(serverSetting);
  if (hasSipScheme(serverSetting)) return parseUri(serverSetting);
  return parseUri("sip:" + std::string(serverSetting));
}

std::string presetRoute(std::string_view outboundServer) {
  if (hasSipScheme(outboundServer)) return base::format("<%s;lr>", outboundServer);
  return base::format("<sip:%s;lr>", outboundServer);
}

RouteDecision applyRouteSet(std::string_view routeSet, bool isPresetRoute,
                            std::string_view remoteTarget) {
  RouteDecision decision;
  routeSet = trim(routeSet);
  if (routeSet.empty()) {
    decision.requestUri = std::string(remoteTarget);
    decision.destinationUri = std::string(remoteTarget);
    return decision;
  }
  size_t end = elementEnd(routeSet, 0);
  std::string_view first = trim(routeSet.substr(0, end));
  std::string_view rest =
      end < routeSet.size() ? trim(routeSet.substr(end + 1)) : std::string_view();
  NameAddr firstAddr = parseNameAddr(first);
  SipUri firstUri = parseUri(firstAddr.uri);
  decision.destinationUri = firstAddr.uri;
  if (hasParam(firstUri.params, "lr")) {
    decision.requestUri = std::string(remoteTarget);
    if (!(rest.empty() && isPresetRoute)) decision.routeHeader = std::string(routeSet);
  } else {
    decision.requestUri = firstAddr.uri;
    decision.routeHeader = rest.empty() ? base::format("<%s>", remoteTarget)
                                        : base::format("%s,<%s>", rest, remoteTarget);
  }
  return decision;
}

HostPort nextHop(std::string_view destinationUri) {
  SipUri uri = parseUri(destinationUri);
  return HostPort{uri.host, uri.hasPort ? uri.port : kDefaultSipPort};
}

HostPort splitHostPort(std::string_view text, uint16_t defaultPort) {
  text = trim(text);
  HostPort result;
  result.port = defaultPort;
  // "[2001:db8::7]:5080"; an IPv6 address without brackets has no port.
  const size_t close = text.starts_with('[') ? text.find(']') : std::string_view::npos;
  size_t colon = text.find(':', close == std::string_view::npos ? 0 : close);
  if (close == std::string_view::npos && colon != std::string_view::npos &&
      text.find(':', colon + 1) != std::string_view::npos) {
    colon = std::string_view::npos;
  }
  if (colon == std::string_view::npos) {
    result.host = std::string(text);
    return result;
  }
  result.host = std::string(text.substr(0, colon));
  uint16_t port = portValue(text.substr(colon + 1));
  if (port != 0) result.port = port;
  return result;
}

ReplacesTarget parseReplaces(std::string_view value) {
  const size_t semicolon = value.find(';');
  ReplacesTarget target;
  target.callId = std::string(trimmed(value.substr(0, semicolon)));
  if (semicolon == std::string_view::npos) return target;
  const ParamList params = splitParams(value.substr(semicolon + 1));
  for (const Param& param : params) {
    const std::string_view name = trimmed(param.name);
    if (equalsNoCase(name, "to-tag")) target.toTag = trimmed(param.value);
    if (equalsNoCase(name, "from-tag")) target.fromTag = trimmed(param.value);
  }
  return target;
}

}  // namespace quillet::sip
