// SPDX-License-Identifier: Apache-2.0
// Small helpers the SipEngine's source files share: the media helpers' cookies, tick differences
// and the bare form of a URI the engine shows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sip/sip_uri.h"

namespace quillet::sip {

// Listener cookies of the engine's own media helpers.
inline constexpr uint32_t kPumpCookie = 1;
inline constexpr uint32_t kRecorderCookie = 2;

// Milliseconds from `then` to `now` on the wrapping tick.
inline int32_t since(uint32_t now, uint32_t then) {
  return static_cast<int32_t>(now - then);
}

// "sip:alice@host:5090;transport=udp" → "alice@host:5090".
inline std::string bareUri(std::string_view uri) {
  if (uri.size() >= 4 && equalsNoCase(uri.substr(0, 4), "sip:")) {
    uri.remove_prefix(4);
  } else if (uri.size() >= 5 && equalsNoCase(uri.substr(0, 5), "sips:")) {
    uri.remove_prefix(5);
  }
  // Parameters and headers follow the host part (the user part may hold ';' itself).
  const size_t at = uri.find('@');
  const size_t cut = uri.find_first_of(";?", at == std::string_view::npos ? 0 : at);
  return std::string(uri.substr(0, cut));
}

}  // namespace quillet::sip
