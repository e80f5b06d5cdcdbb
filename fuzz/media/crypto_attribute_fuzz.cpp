// SPDX-License-Identifier: Apache-2.0
// Fuzz target: an "a=crypto" value as a peer writes it; what is read writes back to the same key.
#include <cstddef>
#include <cstdint>
#include <string>

#include "media/sdes_crypto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::optional<quillet::media::SdesCrypto> crypto =
      quillet::media::readCryptoAttribute(text);
  if (crypto) {
    const std::string written = quillet::media::writeCryptoAttribute(*crypto);
    const std::optional<quillet::media::SdesCrypto> again =
        quillet::media::readCryptoAttribute(written.substr(7));  // after "crypto:"
    if (!again || again->key != crypto->key || again->tag != crypto->tag ||
        again->suite != crypto->suite) {
      __builtin_trap();
    }
  }
  const std::optional<std::vector<uint8_t>> bytes = quillet::media::base64Decode(text);
  if (bytes && quillet::media::base64Decode(quillet::media::base64Encode(*bytes)) != bytes) {
    __builtin_trap();
  }
  return 0;
}
