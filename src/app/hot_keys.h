// SPDX-License-Identifier: Apache-2.0
// Hot-key records (Hotkey/Details): a key assigned to a command, such as "Intercom with
// selected contact" or "Show Quillet".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/settings_store.h"

namespace quillet::app {

enum HotKeyCommand : int32_t {
  kHotKeyIntercomSelected = 0,
  kHotKeyIntercomWith = 1,
  kHotKeyShow = 2,
  kHotKeyHide = 3,
  kHotKeyClose = 4,
  kHotKeyShowAddressBook = 5,
  kHotKeyHideAddressBook = 6,
};

struct HotKeyRecord {
  int32_t key = 0;        // modifiers (Alt 1, Control 2, Shift 4, Windows 8) << 16 | key code
  int32_t command = 0;    // a HotKeyCommand; other values act like the intercom commands' guard
  std::string commandTo;  // the address of kHotKeyIntercomWith
};

// The existing records in record order (identifier N is the N-th of them).
std::vector<HotKeyRecord> readHotKeys(base::SettingsStore& store);

// The name a command is listed under: "Intercom with selected contact", "Intercom with "
// followed by the address, "Show Quillet", ...; empty for unknown commands.
std::string hotKeyCommandName(int32_t command, std::string_view commandTo);

}  // namespace quillet::app
