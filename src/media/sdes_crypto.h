// SPDX-License-Identifier: Apache-2.0
// The "a=crypto" attribute of SDP (RFC 4568): reading one offered key and writing ours.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "media/srtp_context.h"

namespace quillet::media {

struct SdesCrypto {
  uint32_t tag = 0;
  SrtpSuite suite = SrtpSuite::AesCm128HmacSha1_80;
  std::vector<uint8_t> key;  // master key and salt
};

// Reads the value of an "a=crypto" attribute (after "crypto:"). Nothing when the line names
// a suite this side does not know, carries no usable key of the suite's length, uses a
// master key index or asks for session parameters this side does not follow.
std::optional<SdesCrypto> readCryptoAttribute(std::string_view value);

// "crypto:<tag> <suite> inline:<key>" (without "a=" and the line end).
std::string writeCryptoAttribute(const SdesCrypto& crypto);

std::string base64Encode(const std::vector<uint8_t>& bytes);
// Nothing when the text is not base64 (padding allowed at the end only).
std::optional<std::vector<uint8_t>> base64Decode(std::string_view text);

}  // namespace quillet::media
