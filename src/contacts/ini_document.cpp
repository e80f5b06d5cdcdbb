// SPDX-License-Identifier: Apache-2.0
// Reading and writing the key=value file form, with case-insensitive look-up indexes.
#include "contacts/ini_document.h"

#include "contacts/contact_text.h"

namespace quillet::contacts {

namespace {

std::string cutText(std::string_view text) {
  std::string out(text);
  cutToChars(out, kMaxTextChars);
  return out;
}

// Look-up form of a name: cut as stored, then folded.
std::string indexKey(std::string_view name) {
  return foldCase(cutText(name));
}

// Calls `onLine` for every non-empty line: CR, LF, CR LF and LF CR each end one line.
template <typename F>
void forEachLine(std::string_view text, F&& onLine) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = pos;
    while (end < text.size() && text[end] != '\r' && text[end] != '\n') {
      ++end;
    }
    if (end > pos) {
      onLine(text.substr(pos, end - pos));
    }
    if (end < text.size()) {
      const char first = text[end];
      ++end;
      if (end < text.size() && (text[end] == '\r' || text[end] == '\n') && text[end] != first) {
        ++end;
      }
    }
    pos = end;
  }
}

}  // namespace

IniSection::IniSection(std::string name) : name_(std::move(name)) {}

const std::string* IniSection::find(std::string_view key) const {
  const auto it = index_.find(indexKey(key));
  return it == index_.end() ? nullptr : &entries_[it->second].value;
}

void IniSection::set(std::string_view key, std::string_view value) {
  std::string folded = indexKey(key);
  const auto it = index_.find(folded);
  if (it != index_.end()) {
    entries_[it->second].value = cutText(value);
    return;
  }
  index_.emplace(std::move(folded), entries_.size());
  entries_.push_back({cutText(key), cutText(value)});
}

bool IniSection::erase(std::string_view key) {
  const auto it = index_.find(indexKey(key));
  if (it == index_.end()) {
    return false;
  }
  const size_t pos = it->second;
  index_.erase(it);
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(pos));
  for (auto& [name, at] : index_) {
    if (at > pos) {
      --at;
    }
  }
  return true;
}

void IniDocument::merge(std::string_view text) {
  IniSection* current = nullptr;
  forEachLine(text, [&](std::string_view line) {
    std::string kept(line);
    cutToBytes(kept, kMaxIniLineBytes);
    std::string_view view(kept);
    if (view.front() == '[') {
      const size_t close = view.find(']', 1);
      const std::string_view name =
          close == std::string_view::npos ? view.substr(1) : view.substr(1, close - 1);
      current = &addSection(name);
      return;
    }
    const size_t equals = view.find('=');
    if (current == nullptr || equals == std::string_view::npos) {
      return;
    }
    current->set(view.substr(0, equals), view.substr(equals + 1));
  });
}

IniDocument IniDocument::parse(std::string_view text) {
  IniDocument doc;
  doc.merge(text);
  return doc;
}

std::string IniDocument::written() const {
  std::string out;
  for (const IniSection& section : sections_) {
    out += '[';
    out += section.name();
    out += "]\r\n";
    for (const IniEntry& entry : section.entries()) {
      out += entry.key;
      out += '=';
      out += entry.value;
      out += "\r\n";
    }
    out += "\r\n";
  }
  return out;
}

const IniSection* IniDocument::findSection(std::string_view name) const {
  const auto it = index_.find(indexKey(name));
  return it == index_.end() ? nullptr : &sections_[it->second];
}

IniSection* IniDocument::findSection(std::string_view name) {
  const auto it = index_.find(indexKey(name));
  return it == index_.end() ? nullptr : &sections_[it->second];
}

IniSection& IniDocument::addSection(std::string_view name) {
  if (IniSection* existing = findSection(name)) {
    return *existing;
  }
  std::string cut = cutText(name);
  index_.emplace(foldCase(cut), sections_.size());
  sections_.emplace_back(std::move(cut));
  return sections_.back();
}

std::optional<std::string> IniDocument::get(std::string_view section, std::string_view key) const {
  const IniSection* found = findSection(section);
  if (found == nullptr) {
    return std::nullopt;
  }
  const std::string* value = found->find(key);
  if (value == nullptr) {
    return std::nullopt;
  }
  return *value;
}

}  // namespace quillet::contacts
