// SPDX-License-Identifier: Apache-2.0
// UTF-8 / UTF-16 conversion and cutting by characters.
#include "platform/utf.h"

#include <gtest/gtest.h>

namespace quillet::platform {
namespace {

TEST(Utf, RoundTripsAllPlanes) {
  std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // A é € 😀 z
  std::u16string wide = utf8ToUtf16(text);
  EXPECT_EQ(wide, std::u16string(u"A\u00e9\u20ac\U0001F600z"));
  EXPECT_EQ(utf16ToUtf8(wide), text);
  EXPECT_EQ(utf8Length(text), 5u);
}

TEST(Utf, InvalidInputBecomesReplacementCharacter) {
  EXPECT_EQ(utf8ToUtf16("a\xFF"
                        "b"),
            std::u16string(u"a\uFFFDb"));
  EXPECT_EQ(utf8ToUtf16("\xC0\xAF"), std::u16string(u"\uFFFD\uFFFD"));            // overlong '/'
  EXPECT_EQ(utf8ToUtf16("\xED\xA0\x80"), std::u16string(u"\uFFFD\uFFFD\uFFFD"));  // surrogate
  EXPECT_EQ(utf8ToUtf16("\xE2\x82"), std::u16string(u"\uFFFD\uFFFD"));            // cut short
  EXPECT_EQ(utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_TRUE(isValidUtf8("\xF4\x8F\xBF\xBF"));
  EXPECT_EQ(sanitizeUtf8("ok\xFFok"), "ok\xEF\xBF\xBDok");
}

TEST(Utf, CutsCountCharactersAndNeverSplitASequence) {
  std::string text = "\xC3\xA9\xC3\xA9\xF0\x9F\x98\x80x";  // é é 😀 x
  EXPECT_EQ(utf8Cut(text, 0), "");
  EXPECT_EQ(utf8Cut(text, 2), "\xC3\xA9\xC3\xA9");
  EXPECT_EQ(utf8Cut(text, 3), "\xC3\xA9\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(utf8Cut(text, 99), text);
  EXPECT_EQ(utf8CutBytes(text, 5), "\xC3\xA9\xC3\xA9");  // the 4-byte sequence does not fit
  EXPECT_EQ(utf8CutBytes(text, 8), "\xC3\xA9\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(utf8CutBytes(text, 3), "\xC3\xA9");
}

}  // namespace
}  // namespace quillet::platform
