// SPDX-License-Identifier: Apache-2.0
// Fuzzes the settings file parser: any bytes parse; a rewrite keeps the text (line ends
// aside); a value set is read back exactly and survives a re-parse.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/settings_file.h"

using quillet::platform::SettingsDocument;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  SettingsDocument doc = SettingsDocument::parse(text);
  std::string written = doc.serialize();
  // Re-parsing the written text gives the same text again.
  if (SettingsDocument::parse(written).serialize() != written) {
    std::abort();
  }
  // Every section's values are readable; a value written is read back exactly.
  for (const std::string& section : doc.sections()) {
    for (const auto& [name, value] : doc.values(section)) {
      if (doc.get(section, name) != value) {
        std::abort();
      }
    }
  }
  std::string value = text.substr(0, 64);
  if (doc.set("Fuzz\\0", "Value", value)) {
    SettingsDocument reread = SettingsDocument::parse(doc.serialize());
    if (reread.get("fuzz\\0", "VALUE") != value) {
      std::abort();
    }
  }
  doc.removeSection("Fuzz");
  if (doc.hasSection("Fuzz\\0")) {
    std::abort();
  }
  return 0;
}
