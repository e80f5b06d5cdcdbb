// SPDX-License-Identifier: Apache-2.0
// CSV export and import of the address book: one contact per line, three quoted fields
// (name, number, e-mail address), UTF-8, CR LF line ends, no header line.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "contacts/contact_store.h"

namespace quillet::contacts {

// An imported line keeps at most this many bytes; the rest of a longer line is dropped.
constexpr size_t kMaxCsvLineBytes = 8192;

// The field in double quotes: quotes doubled, every character below 33 written as a blank.
std::string csvField(std::string_view text);
// `"name","number","email"` and CR LF.
std::string csvLine(std::string_view name, std::string_view number, std::string_view email);

struct CsvExportResult {
  bool opened = false;    // the file could be created
  bool complete = false;  // every line was written
  int32_t written = 0;    // lines written
};

// Replaces the file with every contact of the store, in store order.
CsvExportResult exportCsv(ContactStore& store, const std::string& path);

struct CsvImportControl {
  const std::atomic<bool>* cancel = nullptr;       // set to stop before the next line
  std::function<void(const std::string&)> onName;  // the name of each line as it is read
};

struct CsvImportResult {
  bool opened = false;
  bool cancelled = false;
  int32_t added = 0;
  int32_t skipped = 0;  // names the store held already
};

// Adds the contacts of the file whose names the store does not hold yet (compared without
// regard to case); a contact with the same name is left unchanged.
CsvImportResult importCsv(ContactStore& store, const std::string& path,
                          const CsvImportControl& control = {});

// Splits one imported line into name, number and e-mail address (leading characters below
// 33 are skipped first; missing items are empty).
Contact parseCsvLine(std::string_view line);

}  // namespace quillet::contacts
