// Test helper of the device tests: the stop event a device's blocking calls watch.
#pragma once

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace quillet::platform::testing {

// An eventfd that a test sets to stop a device's wait.
class StopFd {
 public:
  StopFd() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~StopFd() { close(fd_); }
  StopFd(const StopFd&) = delete;
  StopFd& operator=(const StopFd&) = delete;
  int fd() const { return fd_; }
  void set() {
    uint64_t one = 1;
    ASSERT_EQ(write(fd_, &one, sizeof one), 8);
  }

 private:
  int fd_;
};

}  // namespace quillet::platform::testing
