// SPDX-License-Identifier: Apache-2.0
// Helpers of the contacts unit tests: a temporary folder removed at the end of a test,
// whole-file reads and writes, and a store's contacts as texts.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "contacts/contact_store.h"
#include "platform/test_util.h"

namespace quillet::contacts::testing {

using TempFolder = platform::testing::TempDir;
using platform::testing::readFile;

// Replaces the file the way another program would: a new file renamed over the old one.
inline void writeFileAsOtherProgram(const std::string& path, const std::string& text) {
  const std::string temp = path + ".other";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
  }
  std::filesystem::rename(temp, path);
}

// Rewrites the file in place (same inode), as an editor that truncates would.
inline void rewriteInPlace(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// Every contact of the store as "name|number|email", in store order.
inline std::vector<std::string> contactTexts(ContactStore& store) {
  std::vector<std::string> texts;
  for (const Contact& c : readContacts(store))
    texts.push_back(c.name + "|" + c.number + "|" + c.email);
  return texts;
}

}  // namespace quillet::contacts::testing
