// SPDX-License-Identifier: Apache-2.0
// Fuzz target: reading a WWW-Authenticate / Proxy-Authenticate challenge and computing
// the credentials from it (every algorithm, with and without qop).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sip/digest.h"

using namespace quillet::sip;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  DigestResult result = computeDigest(text, "INVITE", "sip:bob@example.com", "alice", "secret");
  if (result.ok && result.credentials.rfind("Digest username=\"alice\",realm=\"", 0) != 0) {
    std::abort();
  }
  DigestChallenge challenge;
  // Credentials come exactly for a Digest challenge of an algorithm this agent computes.
  const bool read = readChallenge(text, challenge);
  if ((read && challenge.kind != DigestAlgorithm::Unsupported) != result.ok) std::abort();
  if (answerable(text) != result.ok) std::abort();
  // qop=auth is answered with a count and a cnonce exactly when the challenge offers it.
  // (The last ",algorithm=" is this agent's: what follows it holds no quoted challenge text.)
  if (result.ok) {
    const std::string algorithm = challenge.algorithm.empty() ? "MD5" : challenge.algorithm;
    const std::string tail =
        result.credentials.substr(result.credentials.rfind(",algorithm=") + 11);
    const bool withQop = tail.rfind(algorithm + ",qop=auth,nc=", 0) == 0;
    if (challenge.qopAuth != withQop || (!withQop && tail != algorithm)) std::abort();
  }
  if (result.ok && challenge.realm.size() + challenge.nonce.size() > size) std::abort();
  return 0;
}
