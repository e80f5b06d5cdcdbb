// SPDX-License-Identifier: Apache-2.0
// Fuzz target: reading a STUN Binding Response; the first four bytes after the header
// choose the transaction value it is checked against.
#include <cstdint>
#include <cstdlib>

#include "net/stun_client.h"

using namespace quillet::net;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint32_t transaction = 0;
  if (size >= 12) {
    transaction = static_cast<uint32_t>(data[8]) | (static_cast<uint32_t>(data[9]) << 8) |
                  (static_cast<uint32_t>(data[10]) << 16) | (static_cast<uint32_t>(data[11]) << 24);
  }
  bool otherAddress = false;
  const auto mapped = parseStunResponse(data, size, transaction, &otherAddress);
  // Only a response with its full header can be accepted; another address named needs its
  // attribute header and eight bytes after it.
  if (mapped && size < 28) std::abort();
  if (otherAddress && size < 32) std::abort();
  return 0;
}
