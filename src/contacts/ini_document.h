// SPDX-License-Identifier: Apache-2.0
// The in-memory form of a sectioned key=value file: sections and entries in file order,
// names compared without regard to case, its reading and its written form.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quillet::contacts {

// A read line keeps at most this many bytes; the rest of a longer line is dropped.
constexpr size_t kMaxIniLineBytes = 1103;

struct IniEntry {
  std::string key;
  std::string value;
};

class IniSection {
 public:
  explicit IniSection(std::string name);

  const std::string& name() const { return name_; }
  const std::vector<IniEntry>& entries() const { return entries_; }

  // The value of `key`, or nothing when the key is missing.
  const std::string* find(std::string_view key) const;
  // Sets the value; a new key goes to the end, an existing one keeps its place and spelling.
  void set(std::string_view key, std::string_view value);
  // Answers whether the key was there.
  bool erase(std::string_view key);

 private:
  std::string name_;
  std::vector<IniEntry> entries_;
  std::unordered_map<std::string, size_t> index_;  // folded key -> position in entries_
};

class IniDocument {
 public:
  // Reads `text` into this document: keys found are added or replaced, others stay.
  void merge(std::string_view text);
  static IniDocument parse(std::string_view text);

  // "[name]\r\n", then "key=value\r\n" per entry, then "\r\n", for every section.
  std::string written() const;

  const std::vector<IniSection>& sections() const { return sections_; }
  const IniSection* findSection(std::string_view name) const;
  IniSection* findSection(std::string_view name);
  // The section of that name; a new one is appended when there is none.
  IniSection& addSection(std::string_view name);

  // Convenience for the cache: the value, or nothing when section or key is missing.
  std::optional<std::string> get(std::string_view section, std::string_view key) const;

 private:
  std::vector<IniSection> sections_;
  std::unordered_map<std::string, size_t> index_;  // folded name -> position in sections_
};

}  // namespace quillet::contacts
