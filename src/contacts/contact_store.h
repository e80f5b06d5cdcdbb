// SPDX-License-Identifier: Apache-2.0
// ContactStore: the address book behind one interface, with the contacts.ini store, the
// device-database store (which stays empty), and the rules of the Contact dialog.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::contacts {

// Keeps several changes of a store together until it is destroyed (see groupChanges).
class ChangeGroup {
 public:
  virtual ~ChangeGroup() = default;
};

class ContactStore {
 public:
  virtual ~ContactStore() = default;

  // Adds a contact; answers its position, or -1 when nothing was added (a store that takes
  // no additions, or a file that another writer kept locked).
  virtual int32_t add(std::string_view name, std::string_view number, std::string_view email) = 0;
  // Removes the contact with that identifier; an identifier no contact holds removes
  // nothing. Answers whether a contact was removed.
  virtual bool deleteContact(int32_t id) = 0;
  // Rewrites the three texts of the contact at `position` (empty texts are stored empty).
  // Answers false when there is no contact at that position or nothing could be changed.
  virtual bool update(int32_t position, std::string_view name, std::string_view number,
                      std::string_view email) = 0;
  virtual void rewind() = 0;
  virtual void next() = 0;
  // Below the count: the cursor goes to the identifier stored at `position`, answer true.
  // Otherwise the cursor goes to the count, answer false.
  virtual bool seek(int32_t position) = 0;
  // The texts of the contact at the cursor, empty when missing.
  virtual std::string nameAtCursor() const = 0;
  virtual std::string numberAtCursor() const = 0;
  virtual std::string emailAtCursor() const = 0;

  virtual int32_t count() const = 0;
  int32_t cursor() const { return cursor_; }

  // Groups the following changes: they reach the disk together when the answer is
  // destroyed, and other writers wait meanwhile. May answer null (nothing to group).
  virtual std::unique_ptr<ChangeGroup> groupChanges() { return nullptr; }

 protected:
  int32_t cursor_ = 0;
};

// The address book in contacts.ini: section "contacts", keys "entrycount" and
// "entry<position>id|name|phone|email".
class IniContactStore : public ContactStore {
 public:
  explicit IniContactStore(std::string path);

  int32_t add(std::string_view name, std::string_view number, std::string_view email) override;
  bool deleteContact(int32_t id) override;
  bool update(int32_t position, std::string_view name, std::string_view number,
              std::string_view email) override;
  void rewind() override;
  void next() override;
  bool seek(int32_t position) override;
  std::string nameAtCursor() const override;
  std::string numberAtCursor() const override;
  std::string emailAtCursor() const override;
  int32_t count() const override;
  std::unique_ptr<ChangeGroup> groupChanges() override;

  const std::string& path() const { return path_; }
  // The identifier stored at `position` (the position itself when none is stored).
  int32_t idAt(int32_t position) const;

 private:
  friend class IniChangeGroup;

  std::string path_;
  // Inside a change group no other writer changes the file, so the identifiers in use
  // are kept between additions (an import adds many).
  int groupDepth_ = 0;
  bool takenValid_ = false;
  std::vector<bool> taken_;
};

// The store laid out for the device's own contacts database. It is never attached to a
// table: it is empty, and additions, changes and deletions have no effect.
class DeviceContactStore : public ContactStore {
 public:
  int32_t add(std::string_view, std::string_view, std::string_view) override { return -1; }
  bool deleteContact(int32_t) override { return false; }
  bool update(int32_t, std::string_view, std::string_view, std::string_view) override {
    return false;
  }
  void rewind() override { cursor_ = 0; }
  void next() override { ++cursor_; }
  bool seek(int32_t) override {
    cursor_ = 0;
    return false;
  }
  std::string nameAtCursor() const override { return {}; }
  std::string numberAtCursor() const override { return {}; }
  std::string emailAtCursor() const override { return {}; }
  int32_t count() const override { return 0; }
};

// `Settings/AddressBookLocation` value that selects the device-database store.
constexpr int32_t kDeviceAddressBook = 1;

// The store that `location` selects: 1 the device-database store, any other value
// contacts.ini at `iniPath`.
std::unique_ptr<ContactStore> createContactStore(int32_t location, const std::string& iniPath);
// The store that the profile's `Settings/AddressBookLocation` selects, on the profile's
// contacts.ini (its folder is created when missing).
std::unique_ptr<ContactStore> createContactStore();
// contacts.ini in the profile's data folder.
std::string contactsIniPath();

// --- Rules of the Contact dialog -----------------------------------------------------

// Valid when the last at sign is not the first character, the last dot comes after it,
// and at least two characters follow that dot.
bool isValidEmail(std::string_view email);

enum class ContactProblem { kNone, kInvalidEmail, kInvalidName, kDuplicateName };

// The message the dialog shows for a problem (empty for kNone).
const char* contactProblemText(ContactProblem problem);

struct ContactCheck {
  ContactProblem problem = ContactProblem::kNone;
  std::string name;  // the three texts, trimmed
  std::string number;
  std::string email;
};

// These functions iterate the store and so move its cursor.

// Trims the texts and checks them in the dialog's order: e-mail, empty name, a name that
// another contact (a position other than `editedPosition`, -1 for a new one) holds
// without regard to case.
ContactCheck checkContact(ContactStore& store, int32_t editedPosition, std::string_view name,
                          std::string_view number, std::string_view email);

// --- Look-ups and the contact list ------------------------------------------------------

struct Contact {
  std::string name;
  std::string number;
  std::string email;
};

// Every contact in store order (the index is the position).
std::vector<Contact> readContacts(ContactStore& store);

// Position of the first contact whose name (or number) equals the text without regard to
// case, other than `skipPosition`; -1 when none.
int32_t findContactByName(ContactStore& store, std::string_view name, int32_t skipPosition = -1);
int32_t findContactByNumber(ContactStore& store, std::string_view address);

// One row of the main window's contact list.
struct ContactListRow {
  std::string text;  // "name <number>"
  int32_t position = 0;
};

// The rows of the contact list, sorted without regard to case.
std::vector<ContactListRow> contactListRows(ContactStore& store);

}  // namespace quillet::contacts
