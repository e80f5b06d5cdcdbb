// Tests of MD5 against vectors of the RFC 1321 test suite (the digests of tests/siptext are
// compared with hashlib), and of feeding it in pieces.
#include "sip/md5.h"

#include <gtest/gtest.h>

#include <string>

namespace quillet::sip {
namespace {

TEST(Md5, Rfc1321TestSuite) {
  EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(md5Hex("1234567890123456789012345678901234567890"
                   "1234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, PiecesGiveTheSameDigestAsTheWhole) {
  // Lengths around the 56- and 64-byte padding edges, fed in uneven pieces.
  for (size_t length : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 1000u}) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text.push_back(static_cast<char>('!' + (i * 7) % 90));
    Md5 pieces;
    for (size_t i = 0; i < text.size(); i += 13) pieces.update(text.substr(i, 13));
    Md5::Digest a = pieces.finish();
    Md5 whole;
    whole.update(text);
    EXPECT_EQ(a, whole.finish()) << length;
    whole.reset();
    whole.update(text);
    EXPECT_EQ(a, whole.finish()) << "after reset, " << length;
  }
}

}  // namespace
}  // namespace quillet::sip
