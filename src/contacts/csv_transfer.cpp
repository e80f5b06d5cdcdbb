// SPDX-License-Identifier: Apache-2.0
// CSV export and import through the ContactStore interface.
#include "contacts/csv_transfer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <unordered_set>

#include "base/log.h"
#include "contacts/contact_text.h"
#include "contacts/item_splitter.h"
#include "platform/file_open.h"

namespace quillet::contacts {

namespace {

// Imports keep their changes in groups of this many lines, so that other writers and the
// program see the progress and a crash loses little.
constexpr int32_t kLinesPerGroup = 256;

// Reads lines of a file: CR, LF and CR LF end a line; the part of a line beyond
// kMaxCsvLineBytes is dropped.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}

  bool next(std::string& line) {
    line.clear();
    bool any = false;
    for (;;) {
      if (pos_ == buffer_.size()) {
        if (!fill()) {
          return any;
        }
      }
      const char c = buffer_[pos_++];
      any = true;
      if (c == '\n') {
        return true;
      }
      if (c == '\r') {
        if (pos_ == buffer_.size()) {
          fill();
        }
        if (pos_ < buffer_.size() && buffer_[pos_] == '\n') {
          ++pos_;
        }
        return true;
      }
      if (line.size() < kMaxCsvLineBytes + 4) {
        line += c;  // a little more than the limit, so that the cut can spare a character
      }
    }
  }

 private:
  bool fill() {
    buffer_.resize(65536);
    pos_ = 0;
    for (;;) {
      const ssize_t got = ::read(fd_, buffer_.data(), buffer_.size());
      if (got < 0 && errno == EINTR) {
        continue;
      }
      buffer_.resize(got > 0 ? static_cast<size_t>(got) : 0);
      return got > 0;
    }
  }

  int fd_;
  std::string buffer_;
  size_t pos_ = 0;
};

std::unordered_set<std::string> foldedNames(ContactStore& store) {
  std::unordered_set<std::string> names;
  const int32_t n = store.count();
  for (store.rewind(); store.cursor() < n; store.next()) {
    names.insert(foldCase(store.nameAtCursor()));
  }
  return names;
}

}  // namespace

std::string csvField(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') {
      out += "\"\"";
    } else if (static_cast<unsigned char>(c) < 33) {
      out += ' ';
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

std::string csvLine(std::string_view name, std::string_view number, std::string_view email) {
  return csvField(name) + "," + csvField(number) + "," + csvField(email) + "\r\n";
}

CsvExportResult exportCsv(ContactStore& store, const std::string& path) {
  CsvExportResult result;
  platform::LockedFile file =
      platform::openFileRetrying(path, platform::FileMode::Write, platform::kCsvOpenBudgetMs, 0644);
  if (!file.valid()) {
    return result;
  }
  result.opened = true;
  const int32_t n = store.count();
  for (store.rewind(); store.cursor() < n; store.next()) {
    if (!file.writeAll(
            csvLine(store.nameAtCursor(), store.numberAtCursor(), store.emailAtCursor()))) {
      return result;  // the lines written so far stay in the file
    }
    ++result.written;
  }
  result.complete = true;
  return result;
}

Contact parseCsvLine(std::string_view line) {
  size_t start = 0;
  while (start < line.size() && static_cast<unsigned char>(line[start]) < 33) {
    ++start;
  }
  ItemSplitter splitter(line.substr(start));
  Contact contact;
  contact.name = splitter.next();
  contact.number = splitter.next();
  contact.email = splitter.next();
  return contact;
}

CsvImportResult importCsv(ContactStore& store, const std::string& path,
                          const CsvImportControl& control) {
  CsvImportResult result;
  platform::LockedFile file =
      platform::openFileRetrying(path, platform::FileMode::Read, platform::kCsvOpenBudgetMs);
  struct stat st {};
  if (!file.valid() || ::fstat(file.fd(), &st) != 0 || S_ISDIR(st.st_mode)) {
    base::logError("CSV import: cannot open ", path);
    return result;
  }
  result.opened = true;
  LineReader reader(file.fd());
  std::string raw;
  bool first = true;
  int lineNumber = 0;
  std::unique_ptr<ChangeGroup> group;
  std::unordered_set<std::string> names;
  int32_t inGroup = 0;
  while (reader.next(raw)) {
    if (control.cancel != nullptr && control.cancel->load()) {
      result.cancelled = true;
      break;
    }
    if (first && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) {
      raw.erase(0, 3);  // a byte-order mark written by other programs is not part of a name
    }
    first = false;
    ++lineNumber;
    if (raw.size() > kMaxCsvLineBytes) {
      base::logFormat(
          base::LogLevel::Error,
          "CSV import: line %d of %s is longer than %d bytes; the rest of it is dropped",
          lineNumber, path.c_str(), static_cast<int>(kMaxCsvLineBytes));
      cutToBytes(raw, kMaxCsvLineBytes);
    }
    const std::string line = repairUtf8(raw);
    if (trimBlanks(line).empty()) {
      continue;  // empty and blank lines hold no contact
    }
    Contact contact = parseCsvLine(line);
    if (control.onName) {
      control.onName(contact.name);
    }
    if (inGroup == 0) {
      group = store.groupChanges();
      names = foldedNames(store);  // taken inside the group: no other writer meanwhile
    }
    if (names.insert(foldCase(contact.name)).second) {
      if (store.add(contact.name, contact.number, contact.email) >= 0) {
        ++result.added;
      }
    } else {
      ++result.skipped;
    }
    if (++inGroup == kLinesPerGroup) {
      group.reset();
      inGroup = 0;
    }
  }
  return result;
}

}  // namespace quillet::contacts
