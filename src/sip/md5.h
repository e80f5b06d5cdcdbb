// SPDX-License-Identifier: Apache-2.0
// MD5 message digest (RFC 1321), used by SIP digest authentication.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillet::sip {

class Md5 {
 public:
  using Digest = std::array<uint8_t, 16>;

  Md5();
  void update(const void* data, size_t size);
  void update(std::string_view text) { update(text.data(), text.size()); }
  // Finishes the digest; the object must be reset before it is used again.
  Digest finish();
  void reset();

 private:
  void transform(const uint8_t block[64]);

  std::array<uint32_t, 4> state_{};
  uint64_t length_ = 0;  // bytes hashed so far
  std::array<uint8_t, 64> buffer_{};
  size_t buffered_ = 0;
};

// The digest of `text` as 32 lower-case hexadecimal digits.
std::string md5Hex(std::string_view text);

}  // namespace quillet::sip
