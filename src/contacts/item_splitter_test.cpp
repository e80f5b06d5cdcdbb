// SPDX-License-Identifier: Apache-2.0
// The comma/quote item splitter shared by CSV import and the allow list.
#include "contacts/item_splitter.h"

#include <gtest/gtest.h>

namespace quillet::contacts {
namespace {

using Items = std::vector<std::string>;

TEST(ItemSplitter, SplitsAtCommasOutsideQuotes) {
  const std::pair<const char*, Items> cases[] = {
      {"a, b ,\t c", {"a", "b ", "c"}},  // blanks after a comma are skipped
      {"", {}},
      {"a,", {"a"}},  // nothing after the last comma
      {"a,,b", {"a", "", "b"}},
      {"a, ,b", {"a", "", "b"}},
      {",x", {"", "x"}},
      {R"("Smith, John","say ""hi""",x)", {"Smith, John", R"(say "hi")", "x"}},
      // Text before a quote belongs to the item; text after the closing quote is skipped.
      {R"(ab"c,d"ef,g)", {"abc,d", "g"}},
      {R"("open, still)", {"open, still"}},  // an unclosed quote runs to the end
      {R"("",x)", {"", "x"}},
      {R"("a""")", {"a\""}}};
  for (const auto& [text, items] : cases) {
    EXPECT_EQ(splitItems(text), items) << text;
  }
}

TEST(ItemSplitter, ItemsKeepAtMost259Characters) {
  std::string long_item;
  for (int i = 0; i < 300; ++i) {
    long_item += "\xE2\x82\xAC";  // €
  }
  const Items items = splitItems(long_item + ",next");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].size(), 259u * 3);
  EXPECT_EQ(items[1], "next");
}

}  // namespace
}  // namespace quillet::contacts
