// SPDX-License-Identifier: Apache-2.0
// Reading and written form of the key=value file.
#include "contacts/ini_document.h"

#include <gtest/gtest.h>

namespace quillet::contacts {
namespace {

// What is read from a text, seen through the written form.
TEST(IniDocument, ReadsWhatItCanAndWritesItBackInItsOwnForm) {
  const std::pair<std::string, std::string> cases[] = {
      // Split at the first "=", blanks kept; the written form reads back the same.
      {"[s]\r\n key = a=b \r\n", "[s]\r\n key = a=b \r\n\r\n"},
      {"[a]\r\nk= v \r\n=empty key\r\n\r\n[b]\r\n\r\n[c]\r\nx=\r\n\r\n",
       "[a]\r\nk= v \r\n=empty key\r\n\r\n[b]\r\n\r\n[c]\r\nx=\r\n\r\n"},
      // Lines before the first section and lines without "=" are dropped.
      {"a=1\r\n[s]\r\nnoequals\r\n\r\nb=2\r\n", "[s]\r\nb=2\r\n\r\n"},
      // A section without "]" takes the rest of its line; the last line needs no end.
      {"[open name\nk=v\n[a]b]\nx=y", "[open name]\r\nk=v\r\n\r\n[a]\r\nx=y\r\n\r\n"},
      // CR LF and LF CR are one line end each; CR alone and LF alone too.
      {"[s]\r\na=1\n\rb=2\rc=3\nd=4\r\n\r\ne=5", "[s]\r\na=1\r\nb=2\r\nc=3\r\nd=4\r\ne=5\r\n\r\n"},
      // Names compare without case; the first spelling stays, the last value wins.
      {"[Contacts]\nEntryCount=1\n[CONTACTS]\nentrycount=2\n",
       "[Contacts]\r\nEntryCount=2\r\n\r\n"},
      // An ASCII line is cut at 1103 bytes: the "=" beyond that is lost.
      {"[s]\n" + std::string(2000, 'k') + "=v\n", "[s]\r\n\r\n"},
  };
  for (const auto& [text, written] : cases) {
    EXPECT_EQ(IniDocument::parse(text).written(), written) << text;
  }
  const IniDocument doc = IniDocument::parse("[Contacts]\n key = a=b \n");
  EXPECT_EQ(doc.get("contacts", " KEY "), std::optional<std::string>(" a=b "));
  EXPECT_EQ(doc.get("contacts", "key"), std::nullopt);
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
  doc.merge("[s]\na=1\n[t]\nx=1\n");
  doc.merge("[S]\nA=2\nc=4\n");
  EXPECT_EQ(doc.written(), "[s]\r\na=2\r\nc=4\r\n\r\n[t]\r\nx=1\r\n\r\n");
}

TEST(IniDocument, LongValuesAreCutWithoutSplittingCharacters) {
  // 1103 bytes per line: a line of 2-byte characters is cut before the character that
  // would straddle the limit; the value then keeps 259 characters.
  std::string value;
  for (int i = 0; i < 700; ++i) {
    value += "\xC3\xA9";  // é
  }
  const IniDocument doc = IniDocument::parse("[s]\nk=" + value + "\n");
  EXPECT_EQ(doc.get("s", "k")->size(), 259u * 2);
}

}  // namespace
}  // namespace quillet::contacts
