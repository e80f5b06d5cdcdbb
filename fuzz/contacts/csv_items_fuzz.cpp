// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the CSV item splitter. Items keep at most 259 characters, and three items
// exported as a CSV line split back into the same items with control characters blanked.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "contacts/contact_text.h"
#include "contacts/csv_transfer.h"
#include "contacts/item_splitter.h"
#include "platform/utf.h"

namespace {

std::string blanked(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 33) {
      c = ' ';
    }
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillet::contacts;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> items = splitItems(text);
  for (const std::string& item : items) {
    if (quillet::platform::utf8Length(item) > kMaxTextChars) {
      std::abort();
    }
  }
  const Contact contact = parseCsvLine(text);
  const std::string line = csvLine(contact.name, contact.number, contact.email);
  const Contact again = parseCsvLine(std::string_view(line).substr(0, line.size() - 2));
  if (again.name != blanked(contact.name) || again.number != blanked(contact.number) ||
      again.email != blanked(contact.email)) {
    std::abort();
  }
  return 0;
}
