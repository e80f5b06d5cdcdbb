// SPDX-License-Identifier: Apache-2.0
// Tests of challenge reading and the digest credentials: what tests/siptext does not check
// through quillet-tool against Python's hashlib (the credentials text, stale flags, UTF-8,
// quoted commas and every algorithm with and without qop are checked there): SHA-256
// padding edges, nc counting per nonce, auth-int-only qop and the choice among challenges.
#include "sip/digest.h"

#include <gtest/gtest.h>

#include <regex>

#include "sip/sha256.h"

namespace quillet::sip {
namespace {

TEST(Digest, ReadsQuotedAndPlainParametersAndOnlyDigest) {
  DigestChallenge c;
  ASSERT_TRUE(readChallenge(
      "  digest realm=\"example.com\", nonce=\"5f2a\",opaque=\"op=1\" ,stale=FALSE", c));
  EXPECT_EQ(c.realm + " " + c.nonce + " " + c.opaque, "example.com 5f2a op=1");
  EXPECT_FALSE(c.isStale);
  for (const char* other : {"Basic realm=\"x\"", "-", "", "Digestive realm=x"}) {
    EXPECT_FALSE(readChallenge(other, c)) << other;  // "-": the default of a missing header
  }
}

// The digests of tests/siptext are compared with hashlib over inputs of one to three
// blocks; these lengths sit at the padding's edges.
TEST(Digest, Sha256AtThePaddingEdges) {
  EXPECT_EQ(sha256Hex(std::string(55, 'x')),
            "d5e285683cd4efc02d021a5c62014694958901005d6f71e89e0989fac77e4072");
  EXPECT_EQ(sha256Hex(std::string(56, 'x')),
            "04c26261370ee7541549d16dee320c723e3fd14671e66a099afe0a377c16888e");
  EXPECT_EQ(sha256Hex(std::string(64, 'x')),
            "7ce100971f64e7001e8fe5a51973ecdfe1ced42befe7ee8d5fd6219506b5393c");
}

// nc counts 1, 2 ... per nonce with a new cnonce each time, and starts again at 1 for a
// new nonce (the response over them is checked with hashlib in tests/siptext, a refresh's
// nc=00000002 against Kamailio in sip_registrar).
TEST(Digest, QopCredentialsCountPerNonce) {
  const std::regex tail(",qop=auth,nc=([0-9a-f]{8}),cnonce=\"([0-9a-f]{16})\"$");
  std::vector<std::string> seen;
  for (const char* nonce : {"Y2hhbGxlbmdl", "Y2hhbGxlbmdl", "bmV3"}) {
    const DigestResult r =
        computeDigest(std::string("Digest realm=\"r\", nonce=\"") + nonce + "\", qop=auth",
                      "REGISTER", "sip:r", "alice", "secret");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.credentials, m, tail)) << r.credentials;
    seen.push_back(m[1].str() + " " + m[2].str());
  }
  EXPECT_EQ(seen[0].substr(0, 9), "00000001 ");
  EXPECT_EQ(seen[1].substr(0, 9), "00000002 ");
  EXPECT_NE(seen[0].substr(9), seen[1].substr(9));
  EXPECT_EQ(seen[2].substr(0, 9), "00000001 ");
}

// qop offered only as auth-int (which needs the body) is answered as if no qop were
// offered; an algorithm we lack is not answered.
TEST(Digest, AuthIntOnlyIsAnsweredWithoutQop) {
  const std::string plain = "Digest realm=\"r\", nonce=\"bm9xb3A\", algorithm=SHA-256";
  const DigestResult intOnly =
      computeDigest(plain + ", qop=\"auth-int\"", "REGISTER", "sip:r", "alice", "secret");
  EXPECT_TRUE(intOnly.ok);
  EXPECT_EQ(intOnly.credentials,
            computeDigest(plain, "REGISTER", "sip:r", "alice", "secret").credentials);
  EXPECT_EQ(intOnly.credentials.find("qop="), std::string::npos);
  EXPECT_FALSE(
      computeDigest("Digest realm=r, nonce=n, algorithm=SHA-512-256", "REGISTER", "sip:r", "u", "p")
          .ok);
}

TEST(Digest, StrongestOfSeveralChallengesIsAnswered) {
  const std::string md5 = "Digest realm=\"r\", nonce=\"1\", algorithm=MD5";
  const std::string sha = "Digest realm=\"r\", nonce=\"2\", algorithm=SHA-256";
  const std::string unknown = "Digest realm=\"r\", nonce=\"3\", algorithm=SHA-512-256";
  EXPECT_EQ(strongestChallenge({md5, sha}), sha);
  EXPECT_EQ(strongestChallenge({unknown, md5, sha, "Digest realm=r, nonce=4, algorithm=SHA-256"}),
            sha);
  EXPECT_EQ(strongestChallenge({"Basic realm=r", md5}), md5);
  EXPECT_EQ(strongestChallenge({unknown}), unknown);
  EXPECT_EQ(strongestChallenge({}), "");
}

}  // namespace
}  // namespace quillet::sip
