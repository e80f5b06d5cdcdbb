// SPDX-License-Identifier: Apache-2.0
// The IniFile cache: freshness check by size, time and inode, atomic replacement on write,
// and an advisory lock on the file that keeps writers of other processes apart.
#include "contacts/ini_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "base/log.h"
#include "contacts/ini_document.h"
#include "platform/file_open.h"

namespace quillet::contacts {

namespace {

constexpr int kWriteBudgetMs = static_cast<int>(platform::kIniWriteBudgetMs);
constexpr int kMaxLockSleepMs = 8;
// A file larger than this is not the small file this cache is made for; it is left alone.
constexpr off_t kMaxFileBytes = 64 * 1024 * 1024;

struct FileStamp {
  off_t size = 0;
  int64_t mtimeSec = 0;
  int64_t mtimeNsec = 0;
  ino_t inode = 0;
  dev_t device = 0;

  static FileStamp of(const struct stat& st) {
    return {st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ino, st.st_dev};
  }
  bool operator==(const FileStamp&) const = default;
};

struct CachedFile {
  std::string path;
  bool changed = false;
  bool stampValid = false;
  FileStamp stamp;
  // Of the text last read or written (the empty text while the file was never seen): a
  // change is written only over the file it was made to.
  size_t contentHash = std::hash<std::string>{}(std::string());
  IniDocument doc;
  int batchDepth = 0;
  int lockFd = -1;  // the advisory lock held for a batch
};

struct Cache {
  std::recursive_mutex mutex;
  std::vector<std::unique_ptr<CachedFile>> files;
};

void flushAtExit() {
  IniFile::flushAll();
}

Cache& cache() {
  static Cache* instance = [] {
    auto* created = new Cache;  // never destroyed: flushAll may run after static destructors
    std::atexit(flushAtExit);
    return created;
  }();
  return *instance;
}

CachedFile* findFile(const std::string& path) {
  for (auto& file : cache().files) {
    if (file->path == path) {
      return file.get();
    }
  }
  return nullptr;
}

CachedFile& openFile(const std::string& path) {
  if (CachedFile* found = findFile(path)) {
    return *found;
  }
  auto file = std::make_unique<CachedFile>();
  file->path = path;
  auto& files = cache().files;
  files.insert(files.begin(), std::move(file));  // newest first
  return *files.front();
}

// Takes the exclusive advisory lock of the file at `path`, creating the file when missing.
// Writers replace the file by rename, so a lock won on a file that has meanwhile been
// replaced is dropped and taken again on the new one. Waits for another holder with
// short sleeps until the budget is spent. The sleeps stay short (unlike the doubling
// schedule for files held by other programs): the holders here are other writers of this
// program, which hold the lock for one write, and a long sleep would miss every gap
// between them.
int acquireLock(const std::string& path, int budgetMs) {
  int delayMs = 1;
  int sleptMs = 0;
  for (;;) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
      return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      struct stat held {};
      struct stat now {};
      if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &now) == 0 && held.st_ino == now.st_ino &&
          held.st_dev == now.st_dev) {
        return fd;
      }
      ::close(fd);  // replaced meanwhile: lock the new file
      continue;
    }
    const int error = errno;
    ::close(fd);
    if ((error != EWOULDBLOCK && error != EINTR) || sleptMs >= budgetMs) {
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    sleptMs += delayMs;
    delayMs = std::min(delayMs * 2, kMaxLockSleepMs);
  }
}

void releaseLock(int& fd) {
  if (fd >= 0) {
    ::close(fd);  // closing drops the flock
    fd = -1;
  }
}

// Brings the memory copy up to date with the file. A missing or unreadable file changes
// nothing. The file's content replaces the memory copy, so that keys another program
// removed do not come back.
// Without the lock (`heldFd` -1) this is the cheap check of every read: the file is read
// again only when its size, last-write time or identity differ from what was read or
// written last; the read takes a shared lock so that a program that writes the file in
// place under a lock is not read half-way.
// With the lock held by this thread (`heldFd`, the locked file), before a change, the
// content itself is compared: timestamps are coarse and inode numbers are reused, so two
// quick writes by others can leave size, time and inode as they were.
void refresh(CachedFile& file, int heldFd) {
  struct stat st {};
  if (::stat(file.path.c_str(), &st) != 0) {
    return;
  }
  if (heldFd < 0 && file.stampValid && FileStamp::of(st) == file.stamp) {
    return;
  }
  platform::LockedFile opened;
  int fd = heldFd;
  if (fd < 0) {
    opened =
        platform::openFileRetrying(file.path, platform::FileMode::Read, platform::kIniReadBudgetMs);
    fd = opened.fd();
  } else {
    ::lseek(fd, 0, SEEK_SET);
  }
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    return;
  }
  if (st.st_size > kMaxFileBytes) {
    if (!(file.stampValid && FileStamp::of(st) == file.stamp)) {
      base::logError("File too large to read, left as it was: ", file.path);
      file.stamp = FileStamp::of(st);  // said once; a file that stays large is not re-read
      file.stampValid = true;
    }
    return;
  }
  std::string text;
  text.reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0 || text.size() > static_cast<size_t>(kMaxFileBytes)) {
      return;
    }
    if (got == 0) {
      break;
    }
    text.append(buffer, static_cast<size_t>(got));
  }
  const size_t hash = std::hash<std::string>{}(text);
  if (hash != file.contentHash) {
    file.doc = IniDocument::parse(text);
    file.changed = false;
  }
  file.stamp = FileStamp::of(st);
  file.contentHash = hash;
  file.stampValid = true;
}

bool writeFully(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    done += static_cast<size_t>(put);
  }
  return true;
}

void syncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

// Writes the written form to a temporary file beside the target, flushes it to the disk
// and renames it over the target: a crash leaves the old or the new file, never a part.
// The caller holds the file's lock.
bool replaceFile(CachedFile& file) {
  const size_t slash = file.path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : file.path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? file.path : file.path.substr(slash + 1);
  std::string temp = folder + (slash == std::string::npos ? "/." : ".") + name + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  mode_t mode = 0600;
  struct stat old {};
  if (::stat(file.path.c_str(), &old) == 0) {
    mode = old.st_mode & 07777;
  }
  // The stamp comes from the new file itself: once it is renamed, the next writer may
  // replace it at once, and a stamp read from the path could be that writer's.
  struct stat st {};
  const std::string text = file.doc.written();
  const bool ok =
      writeFully(fd, text) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0 && ::fstat(fd, &st) == 0;
  if (::close(fd) != 0 || !ok || ::rename(temp.c_str(), file.path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  syncFolder(folder);
  file.contentHash = std::hash<std::string>{}(text);
  file.stamp = FileStamp::of(st);
  file.stampValid = true;
  file.changed = false;
  return true;
}

// Writes the memory copy when the file still holds what that copy was based on; the
// caller holds the lock `fd` but has not re-read the file under it. When another writer
// has changed the file meanwhile, its content wins: the memory copy is replaced and the
// unwritten change is dropped rather than written over the other writer's.
bool writeChecked(CachedFile& file, int fd) {
  const size_t base = file.contentHash;
  refresh(file, fd);
  if (file.contentHash != base) {
    return false;
  }
  return replaceFile(file);
}

// Writes unwritten changes now, taking the lock (flushAll).
bool writeFile(CachedFile& file) {
  int fd = acquireLock(file.path, kWriteBudgetMs);
  if (fd < 0) {
    return false;
  }
  const bool ok = writeChecked(file, fd);
  releaseLock(fd);
  return ok;
}

// Runs one change: lock, freshness check, change, write. `value` null deletes the key.
// Without the lock the change stays in memory, unwritten (a later write or flushAll
// tries again).
bool applySet(const std::string& path, std::string_view section, std::string_view key,
              const std::string_view* value) {
  std::lock_guard lock(cache().mutex);
  CachedFile& file = openFile(path);
  int fd = -1;
  if (file.batchDepth == 0) {
    fd = acquireLock(path, kWriteBudgetMs);
    // Under the lock, an earlier change that did not reach the disk is kept when the file
    // is still what it was based on, and written with this one.
    refresh(file, fd);
  }
  IniSection* found = file.doc.findSection(section);
  bool touched = true;
  if (value == nullptr) {
    // Deleting what is not there changes nothing and writes nothing.
    touched = found != nullptr && found->erase(key);
  } else {
    std::string clean(*value);
    // A line break inside a value would end its line and inject entries on reading.
    for (char& c : clean) {
      if (c == '\r' || c == '\n') {
        c = ' ';
      }
    }
    (found != nullptr ? *found : file.doc.addSection(section)).set(key, clean);
  }
  if (touched) {
    file.changed = true;
  }
  bool ok = true;
  if (file.changed && file.batchDepth == 0) {
    ok = fd >= 0 && replaceFile(file);
  }
  releaseLock(fd);
  return ok;
}

// Section and key names that the written form could not read back as the same name.
bool validName(std::string_view name, bool isKey) {
  for (char c : name) {
    if (c == '\r' || c == '\n' || (isKey ? c == '=' : c == ']')) {
      return false;
    }
  }
  return !(isKey && !name.empty() && name.front() == '[');
}

}  // namespace

std::string IniFile::getText(const std::string& path, std::string_view section,
                             std::string_view key, std::string_view fallback) {
  std::lock_guard lock(cache().mutex);
  CachedFile& file = openFile(path);
  if (file.batchDepth == 0) {
    refresh(file, -1);
  }
  const IniSection* found = file.doc.findSection(section);
  const std::string* value = found == nullptr ? nullptr : found->find(key);
  return value != nullptr ? *value : std::string(fallback);
}

int32_t IniFile::keyCount(const std::string& path, std::string_view section) {
  std::lock_guard lock(cache().mutex);
  CachedFile& file = openFile(path);
  if (file.batchDepth == 0) {
    refresh(file, -1);
  }
  const IniSection* found = file.doc.findSection(section);
  return found == nullptr ? 0 : static_cast<int32_t>(found->entries().size());
}

bool IniFile::setText(const std::string& path, std::string_view section, std::string_view key,
                      std::string_view value) {
  if (!validName(section, false) || !validName(key, true)) {
    return false;
  }
  return applySet(path, section, key, &value);
}

bool IniFile::deleteKey(const std::string& path, std::string_view section, std::string_view key) {
  return applySet(path, section, key, nullptr);
}

int32_t IniFile::parseInt(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size() && (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r'))) {
    ++pos;
  }
  bool negative = false;
  if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) {
    negative = text[pos] == '-';
    ++pos;
  }
  int64_t value = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    if (value <= std::numeric_limits<int32_t>::max()) {
      value = value * 10 + (text[pos] - '0');
    }
  }
  value = negative ? -value : value;
  if (value > std::numeric_limits<int32_t>::max()) {
    return std::numeric_limits<int32_t>::max();
  }
  if (value < std::numeric_limits<int32_t>::min()) {
    return std::numeric_limits<int32_t>::min();
  }
  return static_cast<int32_t>(value);
}

int32_t IniFile::getInt(const std::string& path, std::string_view section, std::string_view key,
                        int32_t fallback) {
  const std::string text = getText(path, section, key);
  return text.empty() ? fallback : parseInt(text);
}

bool IniFile::setInt(const std::string& path, std::string_view section, std::string_view key,
                     int32_t value) {
  return setText(path, section, key, std::to_string(value));
}

int32_t IniFile::getCount(const std::string& path, std::string_view section,
                          std::string_view name) {
  return getInt(path, section, std::string(name) + "count", 0);
}

bool IniFile::setCount(const std::string& path, std::string_view section, std::string_view name,
                       int32_t value) {
  return setInt(path, section, std::string(name) + "count", value);
}

void IniFile::flushAll() {
  std::lock_guard lock(cache().mutex);
  auto& files = cache().files;
  for (auto it = files.begin(); it != files.end();) {
    CachedFile& file = **it;
    if (file.batchDepth > 0) {
      ++it;  // still in use by a batch on this thread; its end writes it
      continue;
    }
    if (file.changed) {
      writeFile(file);
    }
    it = files.erase(it);
  }
}

bool IniFile::hasUnwrittenChanges(const std::string& path) {
  std::lock_guard lock(cache().mutex);
  const CachedFile* file = findFile(path);
  return file != nullptr && file->changed;
}

IniFile::Batch::Batch(const std::string& path) : lock_(cache().mutex), path_(path) {
  CachedFile& file = openFile(path_);
  if (file.batchDepth++ == 0) {
    file.lockFd = acquireLock(path_, kWriteBudgetMs);
    refresh(file, file.lockFd);
  }
}

bool IniFile::Batch::locked() const {
  const CachedFile* file = findFile(path_);
  return file != nullptr && file->lockFd >= 0;
}

bool IniFile::Batch::commit() {
  CachedFile* file = findFile(path_);
  if (file == nullptr || !file->changed || file->batchDepth > 1) {
    return true;  // nothing to write, or an enclosing batch writes it
  }
  if (file->lockFd >= 0) {
    return replaceFile(*file);
  }
  // The lock could not be had when the batch began: the changes are written only when
  // nobody changed the file meanwhile.
  return writeFile(*file);
}

IniFile::Batch::~Batch() {
  CachedFile* file = findFile(path_);
  if (file == nullptr || file->batchDepth == 0) {
    return;
  }
  if (file->batchDepth == 1) {
    commit();
    releaseLock(file->lockFd);
  }
  --file->batchDepth;
}

}  // namespace quillet::contacts
