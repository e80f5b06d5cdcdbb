// SPDX-License-Identifier: Apache-2.0
// Opening files that another program may hold: an advisory lock (flock) taken with
// retries, the first sleep (budget + 127) / 256 ms and doubling until the budget is spent.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace quillet::platform {

// Budgets of the program's files, in ms.
constexpr uint32_t kLogOpenBudgetMs = 500;
constexpr uint32_t kIniWriteBudgetMs = 1000;
constexpr uint32_t kIniReadBudgetMs = 2000;
constexpr uint32_t kCsvOpenBudgetMs = 5000;

enum class FileMode {
  Read,       // existing file, shared lock
  Write,      // create or truncate (after the lock is held), exclusive lock
  Append,     // create if missing, writes go to the end, exclusive lock
  ReadWrite,  // create if missing, exclusive lock, position at the start
};

// An open file with its lock; both are released when it goes away.
class LockedFile {
 public:
  LockedFile() = default;
  explicit LockedFile(int fd) : fd_(fd) {}
  ~LockedFile() { close(); }
  LockedFile(LockedFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  LockedFile& operator=(LockedFile&& other) noexcept;
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Reads from the current position to the end. False on a read error.
  bool readAll(std::string& out);
  // Writes all bytes (retrying short writes). False on any error.
  bool writeAll(std::string_view bytes);
  bool sync();
  void close();

 private:
  int fd_ = -1;
};

// Opens the file and takes its lock, retrying while another holder has a conflicting lock
// until budgetMs is used up. Other errors (missing file for Read, no permission) fail at
// once. Answers an invalid LockedFile on failure; errno tells why.
LockedFile openFileRetrying(const std::string& path, FileMode mode, uint32_t budgetMs,
                            mode_t createMode = 0600);

// The sleep schedule of the retries, for tests and for other waits of the same kind:
// the first sleep in ms for a budget.
inline uint32_t firstRetrySleepMs(uint32_t budgetMs) {
  return (budgetMs + 127) / 256;
}

}  // namespace quillet::platform
