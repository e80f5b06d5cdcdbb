// SPDX-License-Identifier: Apache-2.0
// The settings file that stands in for the registry: INI-like sections named by key path,
// Name=value lines, re-read whenever it changed on disk, written atomically under a lock.
//
// Format: "[Section]" lines; "Name=value" lines; lines starting with ';' or '#' are
// comments. Sections and names compare without regard to ASCII case and keep the spelling
// first written. Values are kept exactly (no trimming) with '\\', '\n' and '\r' escaped.
// Comments, odd spacing, damaged lines and the user's order survive a rewrite. Read with
// LF or CR LF, written with LF, mode 0600.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillet::platform {

// One parsed file: the lines in order, each a section header, a value, or kept text.
class SettingsDocument {
 public:
  static SettingsDocument parse(std::string_view text);
  std::string serialize() const;

  std::optional<std::string> get(std::string_view section, std::string_view name) const;
  // False when the section or name cannot be stored (line breaks, '=' in a name, ...).
  bool set(std::string_view section, std::string_view name, std::string_view value);
  // True when something was removed.
  bool remove(std::string_view section, std::string_view name);
  // Removes the section, every section below it ("section\..."), with their values.
  bool removeSection(std::string_view section);
  bool hasSection(std::string_view section) const;
  // Section names (first spelling, in file order, each once).
  std::vector<std::string> sections() const;
  // Name/value pairs of a section (first occurrence of each name wins).
  std::vector<std::pair<std::string, std::string>> values(std::string_view section) const;

  static std::string escape(std::string_view value);
  static std::string unescape(std::string_view stored);
  static bool validSectionName(std::string_view section);
  static bool validValueName(std::string_view name);
  // Section and value names compare without regard to ASCII case.
  static bool sameName(std::string_view a, std::string_view b);

 private:
  enum class Kind : uint8_t { Text, Section, Value };
  struct Line {
    Kind kind = Kind::Text;
    std::string raw;      // the line as read (without its line end), or as written
    std::string prefix;   // Value: the raw text up to and including '=' (kept on rewrite)
    std::string section;  // Section: its name; Value: the section it lies in
    std::string name;     // Value: the name (trimmed of blanks)
    std::string value;    // Value: the unescaped value
  };
  std::vector<Line> lines_;
};

class SettingsFile {
 public:
  // readOnly: the machine-wide file, never written.
  explicit SettingsFile(std::string path, bool readOnly = false);

  const std::string& path() const { return path_; }

  std::optional<std::string> get(std::string_view section, std::string_view name);
  bool hasSection(std::string_view section);
  std::vector<std::string> sections();
  std::vector<std::pair<std::string, std::string>> values(std::string_view section);

  // Each write re-reads the file under the lock, changes it and replaces it atomically
  // (temporary file, fsync, rename). False when the write failed (nothing changed).
  bool set(std::string_view section, std::string_view name, std::string_view value);
  bool remove(std::string_view section, std::string_view name);
  bool removeSection(std::string_view section);

  // A snapshot of the current content (re-read when the file changed).
  SettingsDocument snapshot();

  // Tests: runs right after a write renamed its file into place, before the write returns.
  void setAfterReplaceForTest(std::function<void()> hook) { afterReplace_ = std::move(hook); }

 private:
  struct Stamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    int64_t mtimeNs = 0;
    int64_t ctimeNs = 0;
    bool operator==(const Stamp&) const = default;
  };
  void refreshLocked();
  template <typename Change>
  bool modify(Change change);

  std::string path_;
  bool readOnly_;
  std::mutex mutex_;
  Stamp stamp_;
  bool loaded_ = false;
  SettingsDocument doc_;
  std::function<void()> afterReplace_;
};

}  // namespace quillet::platform
