// Tests of challenge reading and the digest credentials text. The expected responses
// were computed independently with Python's hashlib (tests/siptext repeats the check
// at test time through quillet-tool).
#include "sip/digest.h"

#include <gtest/gtest.h>

namespace quillet::sip {
namespace {

TEST(Digest, ReadsQuotedAndPlainParameters) {
  DigestChallenge c;
  ASSERT_TRUE(readChallenge(
      "  digest realm=\"example.com\", nonce=\"5f2a\",opaque=\"op=1\" ,stale=FALSE, algorithm=MD5",
      c));
  EXPECT_EQ(c.realm, "example.com");
  EXPECT_EQ(c.nonce, "5f2a");
  EXPECT_EQ(c.opaque, "op=1");
  EXPECT_EQ(c.stale, "FALSE");
  EXPECT_FALSE(c.isStale);
}

TEST(Digest, StaleIsTrueInAnyCase) {
  DigestChallenge c;
  ASSERT_TRUE(readChallenge("Digest realm=r,nonce=n,stale=TRUE", c));
  EXPECT_TRUE(c.isStale);
  EXPECT_EQ(c.realm, "r");
  ASSERT_TRUE(readChallenge("Digest stale=\"true\"", c));
  EXPECT_TRUE(c.isStale);
}

TEST(Digest, QuotedValueMayHoldCommas) {
  DigestChallenge c;
  ASSERT_TRUE(
      readChallenge("Digest realm=\"a, b\", qop=\"auth,auth-int\", nonce=\"n1\", opaque=\"x\"", c));
  EXPECT_EQ(c.realm, "a, b");
  EXPECT_EQ(c.nonce, "n1");
  EXPECT_EQ(c.opaque, "x");
}

TEST(Digest, RejectsOtherSchemesAndMissingHeader) {
  DigestChallenge c;
  EXPECT_FALSE(readChallenge("Basic realm=\"x\"", c));
  EXPECT_FALSE(readChallenge("-", c));  // the lookup default of a missing header
  EXPECT_FALSE(readChallenge("", c));
  EXPECT_FALSE(readChallenge("Digestive realm=x", c));
  EXPECT_FALSE(computeDigest("Basic realm=x", "INVITE", "sip:a@b", "u", "p").ok);
}

TEST(Digest, CredentialsTextWithoutOpaque) {
  DigestResult r = computeDigest("Digest realm=\"example.com\", nonce=\"5f2a1b9c3d4e\"", "REGISTER",
                                 "sip:example.com", "alice", "secret");
  ASSERT_TRUE(r.ok);
  EXPECT_FALSE(r.stale);
  EXPECT_EQ(r.credentials,
            "Digest username=\"alice\",realm=\"example.com\",nonce=\"5f2a1b9c3d4e\","
            "uri=\"sip:example.com\",response=\"757e3060f04532cf09acb664a2be291e\",opaque=\"\","
            "algorithm=MD5");
}

TEST(Digest, Utf8TextsAndCommaInNonce) {
  DigestChallenge c;
  ASSERT_TRUE(readChallenge("Digest realm=\"Ümlaut realm\", nonce=\"abc,def\", stale=true", c));
  EXPECT_EQ(digestResponse(c, "INVITE", "sip:bob@example.com", "Zoë", "pässwörd"),
            "2aacd99e67a531aea91a37e7526bdc1d");
}

}  // namespace
}  // namespace quillet::sip
