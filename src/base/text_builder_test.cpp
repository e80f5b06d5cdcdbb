// SPDX-License-Identifier: Apache-2.0
// Tests of TextBuilder: the three conversions, growth, and the fixed-capacity cut.
#include "base/text_builder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace quillet::base {
namespace {

TEST(TextBuilder, NumbersPadToTheirMinimumDigitsButAreNeverCut) {
  EXPECT_EQ(format("q=0.%.2d", 5), "q=0.05");
  EXPECT_EQ(format("%.2d", 123), "123");
  EXPECT_EQ(format("%d %.9d", 0, 42), "0 000000042");
  EXPECT_EQ(format("%.3d", -7), "-007");
  EXPECT_EQ(format("%d", INT32_MIN), "-2147483648");
  // Wider and unsigned values are printed as the signed 32-bit value they hold.
  EXPECT_EQ(format("%d", uint16_t{65535}), "65535");
  EXPECT_EQ(format("%d", uint32_t{0xFFFFFFFF}), "-1");
}

TEST(TextBuilder, PercentUnknownConversionsNullAndMissingArguments) {
  EXPECT_EQ(format("%%"), "%");
  EXPECT_EQ(format("100%% %d", 3), "100% 3");
  // No "x", "u", "c" or "l": the character is copied and no argument is taken.
  EXPECT_EQ(format("%x%d", 4), "x4");
  EXPECT_EQ(format("%.d", 4), ".d");  // "." without a digit is not a precision
  EXPECT_EQ(format("end%"), "end");
  EXPECT_EQ(format(std::string_view("ab\0cd", 5)), "ab");  // the template ends at a zero
  // Missing or mismatched arguments write nothing.
  EXPECT_EQ(format("a%db%sc"), "abc");
  EXPECT_EQ(format("%d|%s", "text", 5), "|");
  // A null text copies nothing but takes its argument.
  const char* none = nullptr;
  EXPECT_EQ(format("[%s][%d]", none, 5), "[][5]");
  EXPECT_EQ(format("%s-%s", std::string("a"), std::string_view("b")), "a-b");
}

TEST(TextBuilder, FormatReplacesAndGrowsPastCapacityWithoutLosingCharacters) {
  TextBuilder fresh;
  fresh.AppendChar('x');  // an empty builder grows on its first character
  EXPECT_EQ(fresh.AppendFormat("%d", 12), 3u);
  EXPECT_EQ(fresh.text(), "x12");
  EXPECT_EQ(fresh.Format("new"), 3u);  // Format replaces, AppendFormat keeps
  EXPECT_EQ(fresh.text(), "new");
  TextBuilder builder;
  builder.Reserve(4);
  EXPECT_EQ(builder.capacity(), 4u);
  std::string expected;
  for (int i = 0; i < 1000; ++i) {
    char c = static_cast<char>('a' + i % 26);
    builder.AppendChar(c);
    expected.push_back(c);
  }
  EXPECT_EQ(builder.text(), expected);
  EXPECT_GE(builder.capacity(), 1000u);
  builder.Reserve(10);  // capacity never shrinks
  EXPECT_GE(builder.capacity(), 1000u);
  std::string big(5000, 'z');
  builder.AppendFormat("%s", big);
  EXPECT_EQ(builder.length(), 6000u);
}

TEST(TextBuilder, FixedCapacityCutsTerminatesAndNeverSplitsUtf8) {
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(formatFixed(buffer, sizeof buffer, "%s=%d", "abcdef", 12345), 7u);
  EXPECT_STREQ(buffer, "abcdef=");
  EXPECT_EQ(formatFixed(buffer, sizeof buffer, "%d", 42), 2u);
  EXPECT_STREQ(buffer, "42");
  EXPECT_EQ(formatFixed(buffer, 1, "abc"), 0u);
  EXPECT_STREQ(buffer, "");
  // UTF-8 is never split: "ab" then two 3-byte characters, only the first fits in 5 bytes.
  EXPECT_EQ(formatFixed(buffer, 6, "ab%s", "\xE2\x82\xAC\xE2\x82\xAC"), 5u);
  EXPECT_STREQ(buffer, "ab\xE2\x82\xAC");
  // The template's own multi-byte characters are not split either.
  EXPECT_EQ(formatFixed(buffer, 5, "abc\xC3\xA9"), 3u);
  EXPECT_STREQ(buffer, "abc");
}

}  // namespace
}  // namespace quillet::base
