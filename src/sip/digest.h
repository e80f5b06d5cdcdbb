// Digest authentication (MD5, without qop): reading a WWW-Authenticate or
// Proxy-Authenticate challenge and computing the Authorization credentials text.
#pragma once

#include <string>
#include <string_view>

namespace quillet::sip {

struct DigestChallenge {
  std::string realm;
  std::string nonce;
  std::string opaque;
  std::string stale;
  bool isStale = false;  // "stale" equals "true" in any case
};

// Reads a challenge value: leading blanks, then the token "Digest" (any case), then
// name=value pairs separated by commas and blanks; values lose their double quotes
// (a quoted value may contain commas). Answers false when the value does not start
// with "Digest" (then no credentials can be made); parameters that are absent stay
// empty.
bool readChallenge(std::string_view value, DigestChallenge& challenge);

struct DigestResult {
  bool ok = false;          // false: the challenge is not a Digest challenge
  std::string credentials;  // the Authorization / Proxy-Authorization header value
  bool stale = false;
};

// HA1 = MD5(user:realm:password), HA2 = MD5(method:uri),
// response = MD5(HA1:nonce:HA2), each as 32 lower-case hex digits; the credentials are
// Digest username="..",realm="..",nonce="..",uri="..",response="..",opaque="..",algorithm=MD5
// (opaque always present, empty when the challenge had none).
DigestResult computeDigest(std::string_view challengeValue, std::string_view method,
                           std::string_view uri, std::string_view user, std::string_view password);

// The response digest alone, for a challenge already read.
std::string digestResponse(const DigestChallenge& challenge, std::string_view method,
                           std::string_view uri, std::string_view user, std::string_view password);

}  // namespace quillet::sip
