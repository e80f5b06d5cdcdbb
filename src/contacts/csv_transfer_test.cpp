// SPDX-License-Identifier: Apache-2.0
// CSV export and import through the contacts.ini store.
#include "contacts/csv_transfer.h"

#include <gtest/gtest.h>

#include "base/log.h"
#include "contacts/test_support.h"

namespace quillet::contacts {
namespace {

using testing::contactTexts;
using testing::readFile;
using testing::rewriteInPlace;
using testing::TempFolder;
using Texts = std::vector<std::string>;

class CsvTransferTest : public ::testing::Test {
 protected:
  void SetUp() override { base::LogWriter::instance().setFolder(folder_.path()); }

  TempFolder folder_;
  std::string csv_ = folder_.file("book.csv");
  IniContactStore store_{folder_.file("contacts.ini")};
};

TEST_F(CsvTransferTest, RoundTripKeepsCommasQuotesAndNonAscii) {
  store_.add("Smith, John", "sip:john@example.org", "john@example.org");
  store_.add("The \"Boss\"", "+44 20 7946 0000", "");
  store_.add("Łukasz Żółć 日本 😀", "", "ł@example.pl");
  store_.add("Tab\tand\r\nbreak\x01", "1", "");
  const CsvExportResult exported = exportCsv(store_, csv_);
  EXPECT_TRUE(exported.complete);
  EXPECT_EQ(exported.written, 4);
  const std::string text = readFile(csv_);
  EXPECT_EQ(text.substr(0, text.find("\r\n") + 2),
            "\"Smith, John\",\"sip:john@example.org\",\"john@example.org\"\r\n");
  EXPECT_NE(text.find("\"Tab and  break \",\"1\",\"\"\r\n"), std::string::npos);

  IniContactStore other(folder_.file("other.ini"));
  const CsvImportResult imported = importCsv(other, csv_);
  EXPECT_TRUE(imported.opened);
  EXPECT_EQ(imported.added, 4);
  // The line break, the tab and the control character became blanks.
  EXPECT_EQ(contactTexts(other), (Texts{"Smith, John|sip:john@example.org|john@example.org",
                                        "The \"Boss\"|+44 20 7946 0000|",
                                        "Łukasz Żółć 日本 😀||ł@example.pl", "Tab and  break |1|"}));
}

TEST_F(CsvTransferTest, ExistingNameInOtherCaseIsNotImported) {
  store_.add("Émile", "111", "");
  rewriteInPlace(csv_, "\"ÉMILE\",\"999\",\"\"\r\némile,888\r\nNew,1\r\nnew,2\r\n");
  const CsvImportResult result = importCsv(store_, csv_);
  EXPECT_EQ(result.added, 1);
  EXPECT_EQ(result.skipped, 3);  // a name twice in the file is added once
  EXPECT_EQ(contactTexts(store_), (Texts{"Émile|111|", "New|1|"}));
}

TEST_F(CsvTransferTest, ShortBlankAndOddLines) {
  rewriteInPlace(csv_,
                 "\xEF\xBB\xBF"
                 "OnlyName\n\n   \r\n\t  Spaced , 5 \r,NoName\rBad\xFFUtf8,1,2,extra");
  EXPECT_EQ(importCsv(store_, csv_).added, 4);
  // The byte-order mark is not part of the first name.
  EXPECT_EQ(contactTexts(store_),
            (Texts{"OnlyName||", "Spaced |5 |", "|NoName|", "Bad\xEF\xBF\xBDUtf8|1|2"}));
}

TEST_F(CsvTransferTest, OverlongLineKeepsItsFirst8192Bytes) {
  std::string line = "First," + std::string(9000, '7') + ",x\r\nSecond,2\r\n";
  rewriteInPlace(csv_, line);
  EXPECT_EQ(importCsv(store_, csv_).added, 2);  // the rest of the long line is no contact
  EXPECT_EQ(contactTexts(store_), (Texts{"First|" + std::string(259, '7') + "|", "Second|2|"}));
}

// A missing file and an export to a missing folder: contacts_tool_test.
TEST_F(CsvTransferTest, FolderImportsNothingAndExportReplacesFile) {
  EXPECT_FALSE(importCsv(store_, folder_.path()).opened);  // a folder is no CSV file
  rewriteInPlace(csv_, std::string(1000, 'x'));
  EXPECT_TRUE(exportCsv(store_, csv_).complete);
  EXPECT_EQ(readFile(csv_), "");  // an empty book gives an empty file
}

}  // namespace
}  // namespace quillet::contacts
