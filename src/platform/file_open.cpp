// SPDX-License-Identifier: Apache-2.0
// The retrying locked file open.
#include "platform/file_open.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace quillet::platform {

LockedFile& LockedFile::operator=(LockedFile&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void LockedFile::close() {
  if (fd_ >= 0) {
    ::close(fd_);  // closing drops the flock
    fd_ = -1;
  }
}

bool LockedFile::readAll(std::string& out) {
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    if (n == 0) {
      return true;
    }
    out.append(buffer, static_cast<size_t>(n));
  }
}

bool LockedFile::writeAll(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool LockedFile::sync() {
  return ::fsync(fd_) == 0;
}

LockedFile openFileRetrying(const std::string& path, FileMode mode, uint32_t budgetMs,
                            mode_t createMode) {
  int flags = O_CLOEXEC;
  int lock = LOCK_EX;
  switch (mode) {
    case FileMode::Read:
      flags |= O_RDONLY;
      lock = LOCK_SH;
      break;
    case FileMode::Write:
      flags |= O_WRONLY | O_CREAT;
      break;
    case FileMode::Append:
      flags |= O_WRONLY | O_CREAT | O_APPEND;
      break;
    case FileMode::ReadWrite:
      flags |= O_RDWR | O_CREAT;
      break;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags, createMode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return LockedFile();
  }
  LockedFile file(fd);
  uint32_t sleepMs = firstRetrySleepMs(budgetMs);
  uint32_t slept = 0;
  while (::flock(fd, lock | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      return LockedFile();
    }
    if (slept >= budgetMs) {
      errno = EWOULDBLOCK;
      return LockedFile();
    }
    uint32_t step = std::min(std::max<uint32_t>(sleepMs, 1), budgetMs - slept);
    std::this_thread::sleep_for(std::chrono::milliseconds(step));
    slept += step;
    sleepMs *= 2;
  }
  if (mode == FileMode::Write && ::ftruncate(fd, 0) != 0) {
    return LockedFile();
  }
  return file;
}

}  // namespace quillet::platform
