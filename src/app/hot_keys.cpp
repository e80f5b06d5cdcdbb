// SPDX-License-Identifier: Apache-2.0
// Reading the hot-key records and naming their commands.
#include "app/hot_keys.h"

#include "app/ui_text.h"

namespace quillet::app {

std::vector<HotKeyRecord> readHotKeys(base::SettingsStore& store) {
  std::vector<HotKeyRecord> records;
  base::RegistryList list(store, "Hotkey/Details");
  for (list.open(); !list.atEnd(); list.next()) {
    HotKeyRecord record;
    record.key = list.readInt("Key", 0);
    record.command = list.readInt("Command", 0);
    record.commandTo = list.readText("CommandTo");
    records.push_back(std::move(record));
  }
  return records;
}

std::string hotKeyCommandName(int32_t command, std::string_view commandTo) {
  switch (command) {
    case kHotKeyIntercomSelected:
      return QUILLET_UI_TEXT("app", "Intercom with selected contact");
    case kHotKeyIntercomWith:
      return "Intercom with " + std::string(commandTo);
    case kHotKeyShow:
      return QUILLET_UI_TEXT("app", "Show Quillet");
    case kHotKeyHide:
      return QUILLET_UI_TEXT("app", "Hide Quillet");
    case kHotKeyClose:
      return QUILLET_UI_TEXT("app", "Close Quillet");
    case kHotKeyShowAddressBook:
      return QUILLET_UI_TEXT("app", "Show Address Book");
    case kHotKeyHideAddressBook:
      return QUILLET_UI_TEXT("app", "Hide Address Book");
    default:
      return {};
  }
}

}  // namespace quillet::app
