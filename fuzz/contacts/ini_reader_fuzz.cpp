// SPDX-License-Identifier: Apache-2.0
// Fuzz target: reading a key=value file. What is read, written and read again must give
// the same written form, and every name and value keeps at most 259 characters.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "contacts/contact_text.h"
#include "contacts/ini_document.h"
#include "contacts/ini_file.h"
#include "platform/utf.h"

using quillet::contacts::IniDocument;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const IniDocument doc = IniDocument::parse(text);
  const std::string written = doc.written();
  if (IniDocument::parse(written).written() != written) {
    std::abort();
  }
  for (const auto& section : doc.sections()) {
    if (quillet::platform::utf8Length(section.name()) > quillet::contacts::kMaxTextChars) {
      std::abort();
    }
    for (const auto& entry : section.entries()) {
      if (quillet::platform::utf8Length(entry.key) > quillet::contacts::kMaxTextChars ||
          quillet::platform::utf8Length(entry.value) > quillet::contacts::kMaxTextChars ||
          section.find(entry.key) != &entry.value) {
        std::abort();
      }
      quillet::contacts::IniFile::parseInt(entry.value);
    }
  }
  return 0;
}
