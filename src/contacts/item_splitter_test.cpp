// The comma/quote item splitter shared by CSV import and the allow list.
#include "contacts/item_splitter.h"

#include <gtest/gtest.h>

namespace quillet::contacts {
namespace {

using Items = std::vector<std::string>;

TEST(ItemSplitter, PlainItemsSkipBlanksAfterComma) {
  EXPECT_EQ(splitItems("a, b ,\t c"), (Items{"a", "b ", "c"}));
  EXPECT_EQ(splitItems(""), Items{});
  EXPECT_EQ(splitItems("a,"), Items{"a"});  // nothing after the last comma
}

TEST(ItemSplitter, EmptyItemsBetweenCommas) {
  EXPECT_EQ(splitItems("a,,b"), (Items{"a", "", "b"}));
  EXPECT_EQ(splitItems("a, ,b"), (Items{"a", "", "b"}));
  EXPECT_EQ(splitItems(",x"), (Items{"", "x"}));
}

TEST(ItemSplitter, QuotedPartsKeepCommasAndDoubledQuotes) {
  EXPECT_EQ(splitItems(R"("Smith, John","say ""hi""",x)"),
            (Items{"Smith, John", R"(say "hi")", "x"}));
  // Text before a quote belongs to the item; text after the closing quote is skipped.
  EXPECT_EQ(splitItems(R"(ab"c,d"ef,g)"), (Items{"abc,d", "g"}));
  // An unclosed quote runs to the end.
  EXPECT_EQ(splitItems(R"("open, still)"), (Items{"open, still"}));
  EXPECT_EQ(splitItems(R"("",x)"), (Items{"", "x"}));
  EXPECT_EQ(splitItems(R"("a""")"), (Items{"a\""}));
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

TEST(ItemSplitter, MissingItemsAreEmpty) {
  ItemSplitter splitter("only");
  EXPECT_EQ(splitter.next(), "only");
  EXPECT_TRUE(splitter.atEnd());
  EXPECT_EQ(splitter.next(), "");
  EXPECT_EQ(splitter.next(), "");
}

}  // namespace
}  // namespace quillet::contacts
