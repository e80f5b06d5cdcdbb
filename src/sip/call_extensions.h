// SPDX-License-Identifier: Apache-2.0
// The headers of the call extensions this agent speaks: reliable provisional responses
// (RSeq, RAck) and session timers (Session-Expires, Min-SE), read from outside input, and
// what a message says of the option tags it supports or requires.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sip/sip_message.h"

namespace quillet::sip {

namespace hdr {
inline constexpr HeaderName kRSeq{"RSeq"};
inline constexpr HeaderName kRAck{"RAck"};
inline constexpr HeaderName kSessionExpires{"Session-Expires", "x"};
inline constexpr HeaderName kMinSE{"Min-SE"};
inline constexpr HeaderName kRequire{"Require"};
inline constexpr HeaderName kSupported{"Supported", "k"};
inline constexpr HeaderName kAllow{"Allow"};
}  // namespace hdr

// The numbers of RSeq and RAck run from 1 to 2^31 - 1.
inline constexpr uint32_t kMaxResponseNumber = 0x7fffffffu;

// "RSeq: 988789": the number, or nothing when it is missing, out of range or not a plain
// decimal.
std::optional<uint32_t> parseRSeq(std::string_view value);

// "RAck: 776656 1 INVITE": the reliable response's number, the CSeq number and method of
// the request it answered.
struct RAck {
  uint32_t responseNumber = 0;
  uint32_t cseq = 0;
  std::string method;
};
std::optional<RAck> parseRAck(std::string_view value);

// Who refreshes a session: the side that sent the INVITE (uac) or the one that answered it
// (uas); None when the header names neither.
enum class Refresher { None, Uac, Uas };

// "Session-Expires: 1800;refresher=uac": the interval in seconds and the refresher.
struct SessionExpires {
  uint32_t seconds = 0;
  Refresher refresher = Refresher::None;
};
std::optional<SessionExpires> parseSessionExpires(std::string_view value);
// "Min-SE: 90": seconds.
std::optional<uint32_t> parseMinSE(std::string_view value);

// The header value of a Session-Expires ("1800;refresher=uas").
std::string sessionExpiresValue(const SessionExpires& expires);

// Whether the message lists the option tag in its Supported or Require headers.
bool supportsOption(const SipMessage& message, std::string_view option);
bool requiresOption(const SipMessage& message, std::string_view option);
// Whether the message's Allow headers list the method.
bool allowsMethod(const SipMessage& message, std::string_view method);

}  // namespace quillet::sip
