// SPDX-License-Identifier: Apache-2.0
// SettingsStore conversions and RegistryList cursors (a device and its input line are
// the Options dialog test's).
#include "base/settings_store.h"

#include <gtest/gtest.h>

#include "platform/test_util.h"

namespace quillet::base {
namespace {

class SettingsStoreTest : public ::testing::Test {
 protected:
  platform::testing::TempDir dir_;
  std::unique_ptr<SettingsStore> store_ =
      std::make_unique<SettingsStore>(dir_.file("settings.ini"), dir_.file("machine.ini"));
};

TEST_F(SettingsStoreTest, IntegersUseTheUsualDecimalConversionAndEmptyIsTheDefault) {
  const std::pair<const char*, int32_t> cases[] = {{"12ab", 12},
                                                   {"-127", -127},
                                                   {"+5", 5},
                                                   {"  42", 42},
                                                   {"abc", 0},
                                                   {"-", 0},
                                                   {"99999999999", INT32_MAX},
                                                   {"-99999999999", INT32_MIN},
                                                   {"0x10", 0}};
  for (const auto& [text, expected] : cases) {
    store_->writeText("S", "V", text);
    EXPECT_EQ(store_->readInt("S", "V", 777), expected) << text;
  }
  store_->writeInt("S", "V", -2147483647 - 1);
  EXPECT_EQ(store_->readInt("S", "V", 0), INT32_MIN);
  // Missing or empty: the default ("" never means 0 or no), though a text reads as stored.
  EXPECT_EQ(store_->readInt("S", "Missing", 5070), 5070);
  store_->writeText("S", "V", "");
  EXPECT_EQ(store_->readInt("S", "V", 5070), 5070);
  EXPECT_TRUE(store_->readBool("S", "V", true));
  EXPECT_EQ(store_->readText("S", "V", "x"), "");
}

TEST_F(SettingsStoreTest, YesNoIsFalseOnlyForALeadingZero) {
  const std::pair<const char*, bool> cases[] = {{"0", false}, {"0yes", false}, {"00", false},
                                                {"1", true},  {"2", true},     {"no", true},
                                                {" 0", true}, {"false", true}};
  for (const auto& [text, expected] : cases) {
    store_->writeText("S", "B", text);
    EXPECT_EQ(store_->readBool("S", "B", !expected), expected) << text;
  }
  store_->writeBool("S", "B", true);
  EXPECT_EQ(store_->readText("S", "B"), "1");
  store_->writeBool("S", "B", false);
  EXPECT_EQ(store_->readText("S", "B"), "0");
}

TEST_F(SettingsStoreTest, TextOf259CharactersFitsAnd260ReadsAsDefault) {
  std::string fits(259, 'a');
  store_->writeText("S", "T", fits);
  EXPECT_EQ(store_->readText("S", "T", "def"), fits);
  store_->writeText("S", "T", fits + "b");
  EXPECT_EQ(store_->readText("S", "T", "def"), "def");
  // Characters, not bytes: 259 two-byte characters still fit.
  std::string wide;
  for (int i = 0; i < 259; ++i) wide += "\xC3\xA9";
  store_->writeText("S", "T", wide);
  EXPECT_EQ(store_->readText("S", "T", "def"), wide);
  store_->writeText("S", "N", std::string(300, '7'));
  EXPECT_EQ(store_->readInt("S", "N", 5), 5);  // too long for the buffer: default
}

TEST_F(SettingsStoreTest, SectionsAndNamesIgnoreCaseAndValuesKeepLineBreaks) {
  store_->writeText("SIP", "Proxy", "one");
  store_->writeText("Sip", "proxy", "two\r\nlines");
  EXPECT_EQ(store_->readText("sip", "PROXY"), "two\r\nlines");
  EXPECT_EQ(store_->sections(), std::vector<std::string>{"SIP"});
  store_->writePassword("DefaultLine", "ProxyPassword", "p=w;#[x]");
  EXPECT_EQ(store_->readPassword("defaultline", "proxypassword"), "p=w;#[x]");
  store_->deleteValue("SIP", "PROXY");
  EXPECT_EQ(store_->readText("SIP", "Proxy", "gone"), "gone");
  store_->deleteValue("NoSuchSection", "X");  // ignored
}

TEST_F(SettingsStoreTest, MachineTextComesFromTheReadOnlyFile) {
  platform::testing::writeFile(dir_.file("machine.ini"), "[Distributor]\nName=Acme\n");
  EXPECT_EQ(store_->readMachineText("distributor", "name", "Quillet"), "Acme");
  EXPECT_EQ(store_->readMachineText("Distributor", "URL", "none"), "none");
  EXPECT_EQ(store_->readText("Distributor", "Name", "user"), "user");
}

TEST_F(SettingsStoreTest, ListCursorSkipsDeletedRecordsAndMaxIdStays) {
  RegistryList list(*store_, "Hotkey/Details");
  for (int i = 0; i < 5; ++i) {
    int32_t record = list.add();
    EXPECT_EQ(record, i);
    list.writeInt(record, "Key", 100 + i);
  }
  list.writeText(3, "CommandTo", "sip:x@y");
  store_->writeText(list.recordSection(3) + "\\Sub", "A", "1");
  list.deleteRecord(3);
  EXPECT_FALSE(store_->keyExists("Hotkey/Details\\3\\Sub"));
  std::vector<int32_t> visited;
  std::vector<int32_t> keys;
  for (list.open(); !list.atEnd(); list.next()) {
    visited.push_back(list.current());
    keys.push_back(list.readInt("Key", -1));
  }
  EXPECT_EQ(visited, (std::vector<int32_t>{0, 1, 2, 4}));
  EXPECT_EQ(keys, (std::vector<int32_t>{100, 101, 102, 104}));
  EXPECT_EQ(store_->readInt("Hotkey/Details", "MaxID", 0), 5);
  EXPECT_EQ(list.add(), 5);  // numbers are not reused
}

TEST_F(SettingsStoreTest, CursorOnEmptyOrLeadingGapList) {
  RegistryList list(*store_, "AutoIntercom/Details");
  list.open();
  EXPECT_TRUE(list.atEnd());
  store_->writeInt("AutoIntercom/Details", "MaxID", 3);
  store_->writeText("autointercom/details\\2", "Name", "x");
  list.open();
  ASSERT_FALSE(list.atEnd());
  EXPECT_EQ(list.current(), 2);
  EXPECT_EQ(list.readText("name"), "x");
  list.next();
  EXPECT_TRUE(list.atEnd());
}

}  // namespace
}  // namespace quillet::base
