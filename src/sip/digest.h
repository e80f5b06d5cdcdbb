// SPDX-License-Identifier: Apache-2.0
// Digest authentication (RFC 2617, RFC 7616): reading WWW-Authenticate and
// Proxy-Authenticate challenges, choosing among several, and computing the Authorization
// credentials text: MD5, MD5-sess, SHA-256 and SHA-256-sess, with qop=auth (cnonce and a
// nonce count per nonce) when the challenge offers it, without qop when it does not.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::sip {

enum class DigestAlgorithm { Md5, Md5Sess, Sha256, Sha256Sess, Unsupported };

struct DigestChallenge {
  std::string realm;
  std::string nonce;
  std::string opaque;
  std::string stale;
  std::string algorithm;  // as written; empty when absent (then MD5)
  std::string qop;        // the offered qop list as written; empty when absent
  bool isStale = false;   // "stale" equals "true" in any case
  DigestAlgorithm kind = DigestAlgorithm::Md5;
  bool qopAuth = false;  // "auth" is among the offered qop values
};

// Reads a challenge value: leading blanks, then the token "Digest" (any case), then
// name=value pairs separated by commas and blanks; values lose their double quotes
// (a quoted value may contain commas). Answers false when the value does not start
// with "Digest" (then no credentials can be made); parameters that are absent stay
// empty.
bool readChallenge(std::string_view value, DigestChallenge& challenge);

// Of several challenges (the values of every WWW-Authenticate or Proxy-Authenticate
// header), the one to answer: the strongest algorithm this agent computes (SHA-256 before
// MD5), the first of equals. The first value when none can be answered (so that the
// caller's failure path runs); empty for an empty list.
std::string strongestChallenge(const std::vector<std::string>& values);

// Whether credentials can be computed for a challenge value (a Digest challenge of a
// known algorithm), and whether it says stale=true.
bool answerable(std::string_view challengeValue);
bool staleChallenge(std::string_view challengeValue);

struct DigestResult {
  bool ok = false;          // false: not a Digest challenge, or an unknown algorithm
  std::string credentials;  // the Authorization / Proxy-Authorization header value
  bool stale = false;
};

// The credentials text:
//   Digest username="..",realm="..",nonce="..",uri="..",response="..",opaque="..",algorithm=A
// (opaque always present, empty when the challenge had none; A is the challenge's algorithm,
// MD5 when it named none), followed by ",qop=auth,nc=NNNNNNNN,cnonce=\"..\"" when the
// challenge offers qop auth. nc counts the answers given with that nonce, from 00000001.
DigestResult computeDigest(std::string_view challengeValue, std::string_view method,
                           std::string_view uri, std::string_view user, std::string_view password);

// The response digest alone, for a challenge already read. With `cnonce` empty the answer
// of RFC 2617 without qop; otherwise the qop=auth answer with that cnonce and count.
std::string digestResponse(const DigestChallenge& challenge, std::string_view method,
                           std::string_view uri, std::string_view user, std::string_view password,
                           std::string_view cnonce = {}, uint32_t nonceCount = 0);

}  // namespace quillet::sip
