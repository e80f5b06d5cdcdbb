// SPDX-License-Identifier: Apache-2.0
// SHA-256 message digest (FIPS 180-4), used by SIP digest authentication.
#pragma once

#include <string>
#include <string_view>

namespace quillet::sip {

// The digest of `text` as 64 lower-case hexadecimal digits.
std::string sha256Hex(std::string_view text);

}  // namespace quillet::sip
