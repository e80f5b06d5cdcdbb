// SPDX-License-Identifier: Apache-2.0
// The contacts.ini store, the store factory, the Contact dialog's rules and look-ups.
#include "contacts/contact_store.h"

#include <algorithm>
#include <set>

#include "base/log.h"
#include "base/settings_store.h"
#include "contacts/contact_text.h"
#include "contacts/ini_file.h"
#include "platform/paths.h"
#include "platform/utf.h"

namespace quillet::contacts {

namespace {

constexpr std::string_view kSection = "contacts";
constexpr std::string_view kCountName = "entry";

std::string keyOf(int32_t position, std::string_view field) {
  std::string key = "entry";
  key += std::to_string(position);
  key += field;
  return key;
}

}  // namespace

class IniChangeGroup : public ChangeGroup {
 public:
  explicit IniChangeGroup(IniContactStore& store) : store_(store), batch_(store.path_) {
    ++store_.groupDepth_;
  }
  ~IniChangeGroup() override {
    if (--store_.groupDepth_ == 0) {
      store_.takenValid_ = false;
    }
  }

 private:
  IniContactStore& store_;
  IniFile::Batch batch_;
};

IniContactStore::IniContactStore(std::string path) : path_(std::move(path)) {}

int32_t IniContactStore::count() const {
  // A count beyond the keys present (a damaged or hand-edited file) would make callers
  // walk, or reserve room for, contacts that cannot exist.
  const int32_t stored = IniFile::getCount(path_, kSection, kCountName);
  return std::clamp<int32_t>(stored, 0, IniFile::keyCount(path_, kSection));
}

int32_t IniContactStore::idAt(int32_t position) const {
  // A hand-written file may lack identifiers: the position stands in for a missing one.
  return IniFile::getInt(path_, kSection, keyOf(position, "id"), position);
}

int32_t IniContactStore::add(std::string_view name, std::string_view number,
                             std::string_view email) {
  IniFile::Batch batch(path_);
  if (!batch.locked()) {
    return -1;  // another writer holds the file: adding now could lose its change or ours
  }
  const int32_t n = count();
  // taken_[i]: some contact holds identifier i; i runs to n, so one is always free.
  if (!takenValid_ || taken_.size() != static_cast<size_t>(n) + 1) {
    taken_.assign(static_cast<size_t>(n) + 1, false);
    for (int32_t p = 0; p < n; ++p) {
      const int32_t held = idAt(p);
      if (held >= 0 && held <= n) {
        taken_[static_cast<size_t>(held)] = true;
      }
    }
  }
  const auto id =
      static_cast<int32_t>(std::find(taken_.begin(), taken_.end(), false) - taken_.begin());
  taken_[static_cast<size_t>(id)] = true;
  taken_.push_back(false);
  takenValid_ = groupDepth_ > 0;  // outside a group another process may change the book
  IniFile::setInt(path_, kSection, keyOf(n, "id"), id);
  IniFile::setText(path_, kSection, keyOf(n, "name"), name);
  // Empty texts leave their keys absent; a stale key left at this position goes too.
  if (number.empty()) {
    IniFile::deleteKey(path_, kSection, keyOf(n, "phone"));
  } else {
    IniFile::setText(path_, kSection, keyOf(n, "phone"), number);
  }
  if (email.empty()) {
    IniFile::deleteKey(path_, kSection, keyOf(n, "email"));
  } else {
    IniFile::setText(path_, kSection, keyOf(n, "email"), email);
  }
  IniFile::setCount(path_, kSection, kCountName, n + 1);
  return n;
}

bool IniContactStore::deleteContact(int32_t id) {
  IniFile::Batch batch(path_);
  if (!batch.locked()) {
    return false;
  }
  takenValid_ = false;
  const int32_t n = count();
  int32_t p = 0;
  while (p < n && idAt(p) != id) {
    ++p;
  }
  if (p == n) {
    return false;  // no contact holds it: nothing is deleted
  }
  constexpr std::string_view kTexts[] = {"name", "phone", "email"};
  for (int32_t k = p; k < n - 1; ++k) {
    IniFile::setInt(path_, kSection, keyOf(k, "id"), idAt(k + 1) - 1);
    for (std::string_view field : kTexts) {
      const std::string from = keyOf(k + 1, field);
      const std::string missing = "\n";  // no stored value can hold a line feed
      const std::string value = IniFile::getText(path_, kSection, from, missing);
      if (value == missing) {
        IniFile::deleteKey(path_, kSection, keyOf(k, field));
      } else {
        IniFile::setText(path_, kSection, keyOf(k, field), value);
      }
    }
  }
  for (std::string_view field : {"id", "name", "phone", "email"}) {
    IniFile::deleteKey(path_, kSection, keyOf(n - 1, field));
  }
  IniFile::setCount(path_, kSection, kCountName, n - 1);
  return true;
}

bool IniContactStore::update(int32_t position, std::string_view name, std::string_view number,
                             std::string_view email) {
  IniFile::Batch batch(path_);
  if (!batch.locked() || position < 0 || position >= count()) {
    return false;  // no contact there: writing would leave keys beyond the count
  }
  IniFile::setText(path_, kSection, keyOf(position, "name"), name);
  IniFile::setText(path_, kSection, keyOf(position, "phone"), number);
  IniFile::setText(path_, kSection, keyOf(position, "email"), email);
  return true;
}

void IniContactStore::rewind() {
  cursor_ = 0;
}

void IniContactStore::next() {
  ++cursor_;
}

bool IniContactStore::seek(int32_t position) {
  const int32_t n = count();
  if (position < 0 || position >= n) {
    cursor_ = n;
    return false;
  }
  const int32_t id = idAt(position);
  cursor_ = id >= 0 && id < n ? id : position;
  return true;
}

std::string IniContactStore::nameAtCursor() const {
  return IniFile::getText(path_, kSection, keyOf(cursor_, "name"));
}

std::string IniContactStore::numberAtCursor() const {
  return IniFile::getText(path_, kSection, keyOf(cursor_, "phone"));
}

std::string IniContactStore::emailAtCursor() const {
  return IniFile::getText(path_, kSection, keyOf(cursor_, "email"));
}

std::unique_ptr<ChangeGroup> IniContactStore::groupChanges() {
  return std::make_unique<IniChangeGroup>(*this);
}

std::unique_ptr<ContactStore> createContactStore(int32_t location, const std::string& iniPath) {
  if (location == kDeviceAddressBook) {
    return std::make_unique<DeviceContactStore>();
  }
  return std::make_unique<IniContactStore>(iniPath);
}

std::string contactsIniPath() {
  return platform::profilePaths().contactsFile();
}

std::unique_ptr<ContactStore> createContactStore() {
  const int32_t location =
      base::SettingsStore::global().readInt("Settings", "AddressBookLocation", 0);
  if (location != kDeviceAddressBook) {
    const platform::ProfilePaths paths = platform::profilePaths();
    if (!platform::makeDirs(paths.dataDir)) {
      base::logError("Cannot create the data folder ", paths.dataDir);
    }
  }
  return createContactStore(location, contactsIniPath());
}

bool isValidEmail(std::string_view email) {
  const size_t at = email.rfind('@');
  if (at == std::string_view::npos || at == 0) {
    return false;
  }
  const size_t dot = email.rfind('.');
  if (dot == std::string_view::npos || dot < at) {
    return false;
  }
  return platform::utf8Length(email.substr(dot + 1)) >= 2;
}

const char* contactProblemText(ContactProblem problem) {
  switch (problem) {
    case ContactProblem::kInvalidEmail:
      return "The email address is invalid. Please correct.";
    case ContactProblem::kInvalidName:
      return "The user name is invalid. Please correct.";
    case ContactProblem::kDuplicateName:
      return "There is another contact with the same name already exists. Please use another "
             "name.";
    case ContactProblem::kNone:
      break;
  }
  return "";
}

ContactCheck checkContact(ContactStore& store, int32_t editedPosition, std::string_view name,
                          std::string_view number, std::string_view email) {
  ContactCheck check;
  check.name = trimBlanks(name);
  check.number = trimBlanks(number);
  check.email = trimBlanks(email);
  if (!check.email.empty() && !isValidEmail(check.email)) {
    check.problem = ContactProblem::kInvalidEmail;
  } else if (check.name.empty()) {
    check.problem = ContactProblem::kInvalidName;
  } else if (findContactByName(store, check.name, editedPosition) >= 0) {
    check.problem = ContactProblem::kDuplicateName;
  }
  return check;
}

std::vector<Contact> readContacts(ContactStore& store) {
  std::vector<Contact> contacts;
  const int32_t n = store.count();
  contacts.reserve(static_cast<size_t>(n));
  for (store.rewind(); store.cursor() < n; store.next()) {
    contacts.push_back({store.nameAtCursor(), store.numberAtCursor(), store.emailAtCursor()});
  }
  return contacts;
}

int32_t findContactByName(ContactStore& store, std::string_view name, int32_t skipPosition) {
  const std::string wanted = foldCase(name);
  const int32_t n = store.count();
  for (store.rewind(); store.cursor() < n; store.next()) {
    if (store.cursor() != skipPosition && foldCase(store.nameAtCursor()) == wanted) {
      return store.cursor();
    }
  }
  return -1;
}

int32_t findContactByNumber(ContactStore& store, std::string_view address) {
  const std::string wanted = foldCase(address);
  const int32_t n = store.count();
  for (store.rewind(); store.cursor() < n; store.next()) {
    if (foldCase(store.numberAtCursor()) == wanted) {
      return store.cursor();
    }
  }
  return -1;
}

std::vector<ContactListRow> contactListRows(ContactStore& store) {
  std::vector<std::pair<std::string, ContactListRow>> keyed;
  const int32_t n = store.count();
  keyed.reserve(static_cast<size_t>(n));
  for (store.rewind(); store.cursor() < n; store.next()) {
    ContactListRow row;
    row.text = store.nameAtCursor() + " <" + store.numberAtCursor() + ">";
    row.position = store.cursor();
    keyed.emplace_back(foldCase(row.text), std::move(row));
  }
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<ContactListRow> rows;
  rows.reserve(keyed.size());
  for (auto& entry : keyed) {
    rows.push_back(std::move(entry.second));
  }
  return rows;
}

}  // namespace quillet::contacts
