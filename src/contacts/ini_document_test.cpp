// Reading and written form of the key=value file.
#include "contacts/ini_document.h"

#include <gtest/gtest.h>

namespace quillet::contacts {
namespace {

TEST(IniDocument, SplitsAtFirstEqualsAndKeepsBlanks) {
  const IniDocument doc = IniDocument::parse("[s]\r\n key = a=b \r\n");
  EXPECT_EQ(doc.get("s", " key "), std::optional<std::string>(" a=b "));
  EXPECT_EQ(doc.get("s", "key"), std::nullopt);
}

TEST(IniDocument, IgnoresLinesBeforeFirstSectionAndLinesWithoutEquals) {
  const IniDocument doc = IniDocument::parse("a=1\r\n[s]\r\nnoequals\r\n\r\nb=2\r\n");
  ASSERT_EQ(doc.sections().size(), 1u);
  ASSERT_EQ(doc.sections()[0].entries().size(), 1u);
  EXPECT_EQ(doc.get("s", "b"), std::optional<std::string>("2"));
}

TEST(IniDocument, SectionWithoutClosingBracketTakesRestOfLine) {
  const IniDocument doc = IniDocument::parse("[open name\nk=v\n[a]b]\nx=y");
  EXPECT_EQ(doc.get("open name", "k"), std::optional<std::string>("v"));
  EXPECT_EQ(doc.get("a", "x"), std::optional<std::string>("y"));  // last line without end
}

TEST(IniDocument, LineEndsOfEveryKindEndOneLine) {
  // CR LF and LF CR are one line end each; CR alone and LF alone too.
  const IniDocument doc = IniDocument::parse("[s]\r\na=1\n\rb=2\rc=3\nd=4\r\n\r\ne=5");
  const IniSection* s = doc.findSection("S");
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(s->entries().size(), 5u);
  EXPECT_EQ(s->entries()[4].key, "e");
}

TEST(IniDocument, NamesCompareWithoutCaseAndKeepFirstSpelling) {
  IniDocument doc = IniDocument::parse("[Contacts]\nEntryCount=1\n[CONTACTS]\nentrycount=2\n");
  ASSERT_EQ(doc.sections().size(), 1u);
  EXPECT_EQ(doc.sections()[0].name(), "Contacts");
  ASSERT_EQ(doc.sections()[0].entries().size(), 1u);
  EXPECT_EQ(doc.sections()[0].entries()[0].key, "EntryCount");
  EXPECT_EQ(doc.get("contacts", "ENTRYCOUNT"), std::optional<std::string>("2"));
}

TEST(IniDocument, KeySetTwiceKeepsFirstPlaceAndErasingKeepsLaterKeysFound) {
  IniDocument doc;
  IniSection& s = doc.addSection("s");
  s.set("a", "1");
  s.set("b", "2");
  s.set("c", "3");
  s.set("B", "4");
  EXPECT_EQ(doc.written(), "[s]\r\na=1\r\nb=4\r\nc=3\r\n\r\n");
  EXPECT_TRUE(s.erase("A"));
  EXPECT_FALSE(s.erase("a"));
  EXPECT_EQ(*s.find("c"), "3");
  s.set("b", "5");
  EXPECT_EQ(doc.written(), "[s]\r\nb=5\r\nc=3\r\n\r\n");
  s.erase("b");
  s.erase("c");
  EXPECT_EQ(doc.written(), "[s]\r\n\r\n");  // the emptied section keeps its header
}

TEST(IniDocument, LongLinesAndValuesAreCutWithoutSplittingCharacters) {
  // 1103 bytes per line: a line of 2-byte characters is cut before the character that
  // would straddle the limit; the value then keeps 259 characters.
  std::string value;
  for (int i = 0; i < 700; ++i) {
    value += "\xC3\xA9";  // é
  }
  const IniDocument doc = IniDocument::parse("[s]\nk=" + value + "\n");
  const std::string stored = *doc.get("s", "k");
  EXPECT_EQ(stored.size(), 259u * 2);
  // A line of ASCII is cut at 1103 bytes before the 259-character cut of the key.
  const IniDocument longKey = IniDocument::parse("[s]\n" + std::string(2000, 'k') + "=v\n");
  EXPECT_EQ(longKey.sections()[0].entries().size(), 0u);  // the "=" was beyond the line
}

TEST(IniDocument, MergeAddsAndReplacesKeys) {
  IniDocument doc = IniDocument::parse("[s]\na=1\nb=2\n");
  doc.merge("[s]\nb=3\nc=4\n[t]\nx=1\n");
  EXPECT_EQ(doc.written(), "[s]\r\na=1\r\nb=3\r\nc=4\r\n\r\n[t]\r\nx=1\r\n\r\n");
}

TEST(IniDocument, WrittenFormReadsBackTheSame) {
  const std::string text = "[a]\r\nk= v \r\n=empty key\r\n\r\n[b]\r\n\r\n[c]\r\nx=\r\n\r\n";
  EXPECT_EQ(IniDocument::parse(text).written(), text);
}

}  // namespace
}  // namespace quillet::contacts
