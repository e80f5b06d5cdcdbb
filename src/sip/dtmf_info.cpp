// SPDX-License-Identifier: Apache-2.0
// infoDigit: the Signal line of a dtmf-relay body, or a dtmf body's digit.
#include "sip/dtmf_info.h"

#include <cctype>
#include <string_view>

#include "sip/sip_message.h"

namespace quillet::sip {

namespace {

std::optional<char> digitOf(std::string_view value) {
  value = trimmed(value);
  if (value == "10") return '*';
  if (value == "11") return '#';
  if (value.size() != 1) return std::nullopt;
  const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(value[0])));
  if ((c >= '0' && c <= '9') || c == '*' || c == '#' || (c >= 'A' && c <= 'D')) return c;
  return std::nullopt;
}

}  // namespace

std::optional<char> infoDigit(const SipMessage& request) {
  const std::string& relay = request.body("application/dtmf-relay");
  if (!relay.empty()) {
    std::string_view rest = relay;
    while (!rest.empty()) {
      const size_t end = rest.find('\n');
      std::string_view line = trimmed(rest.substr(0, end));
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
      const size_t equals = line.find('=');
      if (equals == std::string_view::npos) continue;
      std::string_view name = trimmed(line.substr(0, equals));
      if (name.size() == 6 && (name[0] == 'S' || name[0] == 's') && name.substr(1) == "ignal") {
        return digitOf(line.substr(equals + 1));
      }
    }
    return std::nullopt;
  }
  const std::string& plain = request.body("application/dtmf");
  if (!plain.empty()) return digitOf(plain);
  return std::nullopt;
}

}  // namespace quillet::sip
