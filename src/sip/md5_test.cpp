// SPDX-License-Identifier: Apache-2.0
// Tests of MD5 against vectors of the RFC 1321 test suite and at the padding's edges (the
// digests of tests/siptext are compared with hashlib over realistic inputs).
#include "sip/md5.h"

#include <gtest/gtest.h>

#include <string>

namespace quillet::sip {
namespace {

TEST(Md5, Rfc1321VectorsAndPaddingEdges) {
  EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(md5Hex("1234567890123456789012345678901234567890"
                   "1234567890123456789012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
  EXPECT_EQ(md5Hex(std::string(55, 'x')), "04364420e25c512fd958a70738aa8f72");
  EXPECT_EQ(md5Hex(std::string(56, 'x')), "668a72d5ba17f08e62dabcafad6db14b");
  EXPECT_EQ(md5Hex(std::string(64, 'x')), "c1bb4f81d892b2d57947682aeb252456");
}

}  // namespace
}  // namespace quillet::sip
