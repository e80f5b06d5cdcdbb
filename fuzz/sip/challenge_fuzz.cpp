// Fuzz target: reading a WWW-Authenticate / Proxy-Authenticate challenge and computing
// the credentials from it.
#include <cstdint>
#include <cstdlib>
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
  if (readChallenge(text, challenge) != result.ok) std::abort();
  if (result.ok && challenge.realm.size() + challenge.nonce.size() > size) std::abort();
  return 0;
}
