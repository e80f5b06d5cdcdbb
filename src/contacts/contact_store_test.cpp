// SPDX-License-Identifier: Apache-2.0
// The contacts.ini store, the device store, and the Contact dialog's rules (the default
// store in the profile, the dialog's texts and the tool's use are contacts_tool_test's).
#include "contacts/contact_store.h"

#include <gtest/gtest.h>

#include "contacts/ini_file.h"
#include "contacts/test_support.h"

namespace quillet::contacts {
namespace {

using testing::contactTexts;
using testing::readFile;
using testing::TempFolder;
using Texts = std::vector<std::string>;

class IniContactStoreTest : public ::testing::Test {
 protected:
  TempFolder folder_;
  std::string path_ = folder_.file("contacts.ini");
  IniContactStore store_{path_};
};

TEST_F(IniContactStoreTest, AddToEmptyBookWritesOnlyPresentTexts) {
  EXPECT_EQ(store_.count(), 0);
  EXPECT_EQ(store_.add("Ann", "", ""), 0);
  EXPECT_EQ(readFile(path_), "[contacts]\r\nentry0id=0\r\nentry0name=Ann\r\nentrycount=1\r\n\r\n");
  EXPECT_EQ(store_.add("Bob", "sip:bob@example.org", "bob@example.org"), 1);
  EXPECT_EQ(readFile(path_),
            "[contacts]\r\nentry0id=0\r\nentry0name=Ann\r\nentrycount=2\r\nentry1id=1\r\n"
            "entry1name=Bob\r\nentry1phone=sip:bob@example.org\r\nentry1email=bob@example.org\r\n"
            "\r\n");
}

TEST_F(IniContactStoreTest, DeleteShiftsTextsAndIdentifiersAndIgnoresUnknownOnes) {
  store_.add("A", "1", "a@x.org");
  store_.add("B", "", "b@x.org");
  store_.add("C", "3", "");
  store_.deleteContact(0);
  EXPECT_EQ(contactTexts(store_), (Texts{"B||b@x.org", "C|3|"}));
  EXPECT_EQ(IniFile::getInt(path_, "contacts", "entry0id", -1), 0);
  EXPECT_EQ(IniFile::getInt(path_, "contacts", "entry1id", -1), 1);
  EXPECT_EQ(IniFile::getText(path_, "contacts", "entry2name", "gone"), "gone");
  // A new contact takes the freed identifier and has no leftover texts.
  EXPECT_EQ(store_.add("D", "", ""), 2);
  EXPECT_EQ(IniFile::getInt(path_, "contacts", "entry2id", -1), 2);
  EXPECT_EQ(IniFile::getText(path_, "contacts", "entry2phone", "none"), "none");
  // Unknown identifiers delete nothing.
  const std::string before = readFile(path_);
  store_.deleteContact(7);
  store_.deleteContact(-1);
  EXPECT_EQ(readFile(path_), before);
}

TEST_F(IniContactStoreTest, NewIdentifierIsSmallestFreeOne) {
  testing::rewriteInPlace(path_,
                          "[contacts]\r\nentrycount=2\r\nentry0id=0\r\nentry0name=A\r\n"
                          "entry1id=2\r\nentry1name=C\r\n");
  store_.add("B", "", "");
  EXPECT_EQ(IniFile::getInt(path_, "contacts", "entry2id", -1), 1);
  // Deleting by identifier finds the position that holds it.
  store_.deleteContact(2);
  EXPECT_EQ(contactTexts(store_), (Texts{"A||", "B||"}));
  EXPECT_EQ(IniFile::getInt(path_, "contacts", "entry1id", -1), 0);  // 1 - 1
}

TEST_F(IniContactStoreTest, DamagedCountStaysWithinKeysPresent) {
  testing::rewriteInPlace(path_, "[contacts]\r\nentrycount=2000000000\r\nentry0name=A\r\n");
  EXPECT_EQ(store_.count(), 2);
  EXPECT_EQ(readContacts(store_).size(), 2u);
  testing::rewriteInPlace(path_, "[contacts]\r\nentrycount=-5\r\n");
  EXPECT_EQ(store_.count(), 0);
  EXPECT_EQ(store_.add("B", "", ""), 0);
}

TEST_F(IniContactStoreTest, UpdateStoresEmptyTextsAndIgnoresMissingPosition) {
  store_.add("A", "1", "a@x.org");
  store_.update(0, "A2", "", "");
  EXPECT_EQ(readFile(path_),
            "[contacts]\r\nentry0id=0\r\nentry0name=A2\r\nentry0phone=\r\nentry0email=\r\n"
            "entrycount=1\r\n\r\n");
  const std::string before = readFile(path_);
  store_.update(1, "X", "", "");
  store_.update(-1, "X", "", "");
  EXPECT_EQ(readFile(path_), before);
}

TEST_F(IniContactStoreTest, MissingFileIsEmptyBookAndGroupedChangesWriteOnce) {
  EXPECT_EQ(readContacts(store_).size(), 0u);
  {
    auto group = store_.groupChanges();
    store_.add("A", "", "");
    store_.add("B", "", "");
    EXPECT_EQ(readFile(path_), "");
  }
  EXPECT_EQ(IniContactStore(path_).count(), 2);
}

TEST(DeviceContactStore, StaysEmpty) {
  TempFolder folder;
  auto store = createContactStore(kDeviceAddressBook, folder.file("contacts.ini"));
  EXPECT_EQ(store->add("A", "1", ""), -1);
  store->update(0, "B", "", "");
  store->deleteContact(0);
  EXPECT_EQ(store->count(), 0);
  EXPECT_FALSE(store->seek(0));
  EXPECT_EQ(store->nameAtCursor(), "");
  // Any other location value is the contacts.ini store.
  auto ini = createContactStore(2, folder.file("contacts.ini"));
  EXPECT_EQ(ini->add("A", "1", ""), 0);
}

TEST(ContactRules, EmailValidity) {
  EXPECT_TRUE(isValidEmail("a@b.co"));
  EXPECT_TRUE(isValidEmail("a.b@c.d.org"));
  EXPECT_TRUE(isValidEmail("x@y@z.éé"));  // the last at sign counts; two 2-byte characters
  EXPECT_FALSE(isValidEmail("a@b.c"));
  EXPECT_FALSE(isValidEmail("a@b.é"));  // one character of two bytes
  EXPECT_FALSE(isValidEmail("@b.com"));
  EXPECT_FALSE(isValidEmail("a.b@com"));
  EXPECT_FALSE(isValidEmail("ab.com"));
}

TEST_F(IniContactStoreTest, CheckContactInDialogOrder) {
  store_.add("Émile Zola", "1", "");
  store_.add("Bob", "2", "");
  ContactCheck check = checkContact(store_, -1, "  émile zola \t", " 3 ", " bad ");
  EXPECT_EQ(check.problem, ContactProblem::kInvalidEmail);
  EXPECT_EQ(check.email, "bad");
  check = checkContact(store_, -1, "  ÉMILE ZOLA ", " 3 ", "e@x.org");
  EXPECT_EQ(check.problem, ContactProblem::kDuplicateName);
  // Editing a contact may keep its own name.
  check = checkContact(store_, 0, "émile zola", "3", "");
  EXPECT_EQ(check.problem, ContactProblem::kNone);
  EXPECT_EQ(check.name, "émile zola");
  EXPECT_EQ(checkContact(store_, 1, "Émile Zola", "", "").problem, ContactProblem::kDuplicateName);
}

// The rows sorted without regard to case are the main window test's contact list.
TEST_F(IniContactStoreTest, ListRowsAndLookUps) {
  store_.add("bob", "sip:Bob@X.org", "");
  store_.add("Alice", "", "");
  const auto rows = contactListRows(store_);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].text, "Alice <>");
  EXPECT_EQ(rows[0].position, 1);
  EXPECT_EQ(findContactByNumber(store_, "SIP:bob@x.ORG"), 0);
  EXPECT_EQ(findContactByNumber(store_, "sip:bob@x.org.uk"), -1);
  EXPECT_EQ(findContactByName(store_, "ALICE"), 1);
  EXPECT_EQ(findContactByName(store_, "ALICE", 1), -1);  // the contact being edited
}

}  // namespace
}  // namespace quillet::contacts
