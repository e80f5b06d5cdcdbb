// SPDX-License-Identifier: Apache-2.0
// The settings file: parsing that keeps the user's text, and atomic locked rewrites.
#include "platform/settings_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>

#include "platform/file_open.h"
#include "platform/paths.h"

namespace quillet::platform {

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && isBlank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) {
      return false;
    }
  }
  return true;
}

bool isSubsection(std::string_view candidate, std::string_view parent) {
  return candidate.size() > parent.size() && candidate[parent.size()] == '\\' &&
         equalsNoCase(candidate.substr(0, parent.size()), parent);
}

bool hasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

bool SettingsDocument::sameName(std::string_view a, std::string_view b) {
  return equalsNoCase(a, b);
}

std::string SettingsDocument::escape(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string SettingsDocument::unescape(std::string_view stored) {
  std::string out;
  out.reserve(stored.size());
  for (size_t i = 0; i < stored.size(); ++i) {
    char c = stored[i];
    if (c == '\\' && i + 1 < stored.size()) {
      char next = stored[i + 1];
      if (next == '\\') {
        out += '\\';
        ++i;
        continue;
      }
      if (next == 'n') {
        out += '\n';
        ++i;
        continue;
      }
      if (next == 'r') {
        out += '\r';
        ++i;
        continue;
      }
    }
    out += c;  // an unknown escape is kept as written
  }
  return out;
}

bool SettingsDocument::validSectionName(std::string_view section) {
  return !section.empty() && !hasLineBreak(section) && trim(section).size() == section.size();
}

bool SettingsDocument::validValueName(std::string_view name) {
  return !name.empty() && !hasLineBreak(name) && name.find('=') == std::string_view::npos &&
         trim(name).size() == name.size() && name[0] != ';' && name[0] != '#' && name[0] != '[';
}

SettingsDocument SettingsDocument::parse(std::string_view text) {
  SettingsDocument doc;
  std::string current;
  bool inSection = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    std::string_view raw =
        end == std::string_view::npos ? text.substr(pos) : text.substr(pos, end - pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    // CR LF or LF line ends; stray CRs before the end go too, so that a rewrite reads back
    // the same (values never hold a raw CR: they are written escaped).
    while (!raw.empty() && raw.back() == '\r') {
      raw.remove_suffix(1);
    }
    Line line;
    line.raw = std::string(raw);
    std::string_view body = trim(raw);
    if (body.empty() || body[0] == ';' || body[0] == '#') {
      // blank or comment: kept as text
    } else if (body.front() == '[' && body.back() == ']' && body.size() > 2 &&
               !trim(body.substr(1, body.size() - 2)).empty()) {
      line.kind = Kind::Section;
      line.section = std::string(trim(body.substr(1, body.size() - 2)));
      current = line.section;
      inSection = true;
    } else if (size_t eq = raw.find('=');
               eq != std::string_view::npos && inSection && !trim(raw.substr(0, eq)).empty()) {
      line.kind = Kind::Value;
      line.section = current;
      line.name = std::string(trim(raw.substr(0, eq)));
      line.prefix = std::string(raw.substr(0, eq + 1));
      line.value = unescape(raw.substr(eq + 1));
    }
    // Anything else is a damaged line: skipped when reading, kept when rewriting.
    doc.lines_.push_back(std::move(line));
  }
  return doc;
}

std::string SettingsDocument::serialize() const {
  std::string out;
  for (const Line& line : lines_) {
    out += line.raw;
    out += '\n';
  }
  return out;
}

std::optional<std::string> SettingsDocument::get(std::string_view section,
                                                 std::string_view name) const {
  for (const Line& line : lines_) {
    if (line.kind == Kind::Value && equalsNoCase(line.section, section) &&
        equalsNoCase(line.name, name)) {
      return line.value;
    }
  }
  return std::nullopt;
}

bool SettingsDocument::set(std::string_view section, std::string_view name,
                           std::string_view value) {
  if (!validSectionName(section) || !validValueName(name)) {
    return false;
  }
  for (Line& line : lines_) {
    if (line.kind == Kind::Value && equalsNoCase(line.section, section) &&
        equalsNoCase(line.name, name)) {
      line.value = std::string(value);
      line.raw = line.prefix + escape(value);
      return true;
    }
  }
  Line added;
  added.kind = Kind::Value;
  added.name = std::string(name);
  added.prefix = added.name + "=";
  added.value = std::string(value);
  added.raw = added.prefix + escape(value);
  // Into the first block of the section, after its last value.
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind == Kind::Section && equalsNoCase(lines_[i].section, section)) {
      added.section = lines_[i].section;
      size_t insertAt = i + 1;
      for (size_t j = i + 1; j < lines_.size() && lines_[j].kind != Kind::Section; ++j) {
        if (lines_[j].kind == Kind::Value) {
          insertAt = j + 1;
        }
      }
      lines_.insert(lines_.begin() + static_cast<ptrdiff_t>(insertAt), std::move(added));
      return true;
    }
  }
  if (!lines_.empty() && !trim(lines_.back().raw).empty()) {
    lines_.push_back(Line{});
  }
  Line header;
  header.kind = Kind::Section;
  header.section = std::string(section);
  header.raw = "[" + header.section + "]";
  lines_.push_back(std::move(header));
  added.section = std::string(section);
  lines_.push_back(std::move(added));
  return true;
}

bool SettingsDocument::remove(std::string_view section, std::string_view name) {
  size_t before = lines_.size();
  std::erase_if(lines_, [&](const Line& line) {
    return line.kind == Kind::Value && equalsNoCase(line.section, section) &&
           equalsNoCase(line.name, name);
  });
  return lines_.size() != before;
}

bool SettingsDocument::removeSection(std::string_view section) {
  std::vector<Line> kept;
  kept.reserve(lines_.size());
  bool dropping = false;
  bool removed = false;
  for (Line& line : lines_) {
    if (line.kind == Kind::Section) {
      dropping = equalsNoCase(line.section, section) || isSubsection(line.section, section);
      removed = removed || dropping;
    }
    if (!dropping) {
      kept.push_back(std::move(line));
    }
  }
  lines_ = std::move(kept);
  return removed;
}

bool SettingsDocument::hasSection(std::string_view section) const {
  return std::any_of(lines_.begin(), lines_.end(), [&](const Line& line) {
    return line.kind == Kind::Section && equalsNoCase(line.section, section);
  });
}

std::vector<std::string> SettingsDocument::sections() const {
  std::vector<std::string> out;
  for (const Line& line : lines_) {
    if (line.kind == Kind::Section &&
        std::none_of(out.begin(), out.end(),
                     [&](const std::string& s) { return equalsNoCase(s, line.section); })) {
      out.push_back(line.section);
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> SettingsDocument::values(
    std::string_view section) const {
  std::vector<std::pair<std::string, std::string>> out;
  for (const Line& line : lines_) {
    if (line.kind == Kind::Value && equalsNoCase(line.section, section) &&
        std::none_of(out.begin(), out.end(),
                     [&](const auto& pair) { return equalsNoCase(pair.first, line.name); })) {
      out.emplace_back(line.name, line.value);
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------------

SettingsFile::SettingsFile(std::string path, bool readOnly)
    : path_(std::move(path)), readOnly_(readOnly) {}

namespace {

template <typename Stat, typename Stamp>
void fillStamp(const Stat& st, Stamp& stamp) {
  stamp.dev = st.st_dev;
  stamp.ino = st.st_ino;
  stamp.size = st.st_size;
  stamp.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  stamp.ctimeNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

// A rename moves the file's change time on most file systems. When size and modification
// time are still those written, only the rename touched the file: its new change time joins
// the stamp, so the next read does not take our own write for someone else's.
void keepRenameCtime(int fd, struct stat& written) {
  struct stat now {};
  if (::fstat(fd, &now) == 0 && now.st_size == written.st_size &&
      now.st_mtim.tv_sec == written.st_mtim.tv_sec &&
      now.st_mtim.tv_nsec == written.st_mtim.tv_nsec) {
    written = now;
  }
}

// Follows a symbolic link so that a rewrite replaces the target, not the link.
std::string resolvedPath(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer) != nullptr) {
      return buffer;
    }
  }
  return path;
}

std::string parentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Temporaries "NAME.XXXXXX" of a writer that was killed before its rename. Only a writer
// holding the lock on the current file writes a temporary, so under that lock every one
// found is stale.
void removeStaleTemporaries(const std::string& folder, const std::string& target) {
  const std::string prefix = target.substr(target.rfind('/') + 1) + ".";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) {
      continue;
    }
    const bool mkstempSuffix =
        std::all_of(name.begin() + static_cast<ptrdiff_t>(prefix.size()), name.end(),
                    [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
    if (mkstempSuffix && entry.is_regular_file(error)) {
      std::filesystem::remove(entry.path(), error);
    }
  }
}

}  // namespace

void SettingsFile::refreshLocked() {
  struct stat st {};
  Stamp now;
  if (::stat(path_.c_str(), &st) == 0) {
    fillStamp(st, now);
  }
  if (loaded_ && now == stamp_) {
    return;
  }
  std::string text;
  int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    LockedFile file(fd);  // no lock: writers replace the file whole by rename
    if (::fstat(fd, &st) == 0) {
      fillStamp(st, now);
    }
    if (!file.readAll(text)) {
      text.clear();  // an unreadable file reads as empty
    }
  }
  doc_ = SettingsDocument::parse(text);
  stamp_ = now;
  loaded_ = true;
}

SettingsDocument SettingsFile::snapshot() {
  std::lock_guard<std::mutex> lock(mutex_);
  refreshLocked();
  return doc_;
}

std::optional<std::string> SettingsFile::get(std::string_view section, std::string_view name) {
  std::lock_guard<std::mutex> lock(mutex_);
  refreshLocked();
  return doc_.get(section, name);
}

bool SettingsFile::hasSection(std::string_view section) {
  std::lock_guard<std::mutex> lock(mutex_);
  refreshLocked();
  return doc_.hasSection(section);
}

std::vector<std::string> SettingsFile::sections() {
  std::lock_guard<std::mutex> lock(mutex_);
  refreshLocked();
  return doc_.sections();
}

std::vector<std::pair<std::string, std::string>> SettingsFile::values(std::string_view section) {
  std::lock_guard<std::mutex> lock(mutex_);
  refreshLocked();
  return doc_.values(section);
}

// change(doc) answers -1 when the request is invalid, 0 when nothing changes, 1 otherwise.
template <typename Change>
bool SettingsFile::modify(Change change) {
  if (readOnly_) {
    return false;
  }
  std::lock_guard<std::mutex> guard(mutex_);
  const std::string target = resolvedPath(path_);
  const std::string folder = parentOf(target);
  makeDirs(folder, 0700);
  // The lock lives on the file being replaced; when another writer renamed a new file in
  // while we waited, lock that one instead.
  for (int attempt = 0; attempt < 20; ++attempt) {
    LockedFile current = openFileRetrying(target, FileMode::ReadWrite, kIniWriteBudgetMs, 0600);
    if (!current.valid()) {
      return false;
    }
    struct stat locked {};
    struct stat named {};
    if (::fstat(current.fd(), &locked) != 0 || ::stat(target.c_str(), &named) != 0 ||
        locked.st_ino != named.st_ino || locked.st_dev != named.st_dev) {
      continue;
    }
    std::string text;
    if (!current.readAll(text)) {
      return false;
    }
    SettingsDocument doc = SettingsDocument::parse(text);
    int result = change(doc);
    if (result < 0) {
      return false;
    }
    if (result == 0) {
      return true;
    }
    removeStaleTemporaries(folder, target);
    std::string temp = target + ".XXXXXX";
    int fd = ::mkstemp(temp.data());  // mode 0600
    if (fd < 0) {
      return false;
    }
    LockedFile out(fd);
    ::fchmod(fd, 0600);
    if (!out.writeAll(doc.serialize()) || !out.sync()) {
      out.close();
      ::unlink(temp.c_str());
      return false;
    }
    // The stamp comes from the file we wrote, not from the path: whatever another process
    // puts there after the rename differs from it and is read on the next access.
    struct stat written {};
    const bool stamped = ::fstat(out.fd(), &written) == 0;
    if (::rename(temp.c_str(), target.c_str()) != 0) {
      ::unlink(temp.c_str());
      return false;
    }
    if (afterReplace_) {
      afterReplace_();
    }
    keepRenameCtime(out.fd(), written);
    out.close();
    int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
      ::fsync(dirFd);
      ::close(dirFd);
    }
    if (stamped) {
      fillStamp(written, stamp_);
      doc_ = std::move(doc);
      loaded_ = true;
    } else {
      loaded_ = false;
    }
    return true;
  }
  return false;
}

bool SettingsFile::set(std::string_view section, std::string_view name, std::string_view value) {
  return modify([&](SettingsDocument& doc) {
    std::optional<std::string> old = doc.get(section, name);
    if (old && *old == value) {
      return 0;
    }
    return doc.set(section, name, value) ? 1 : -1;
  });
}

bool SettingsFile::remove(std::string_view section, std::string_view name) {
  return modify([&](SettingsDocument& doc) { return doc.remove(section, name) ? 1 : 0; });
}

bool SettingsFile::removeSection(std::string_view section) {
  return modify([&](SettingsDocument& doc) { return doc.removeSection(section) ? 1 : 0; });
}

}  // namespace quillet::platform
