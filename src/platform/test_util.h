// SPDX-License-Identifier: Apache-2.0
// Helpers of the unit tests: a temporary folder, whole-file reads and writes, a free UDP
// port, the stop event a device's blocking calls watch, and the ALSA tests' fixture.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/socket.h"

namespace quillet::platform::testing {

// A folder removed with its content at the end of a test.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qplatXXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A loopback UDP port that was free a moment ago.
inline int32_t freeUdpPort() {
  UniqueFd socket;
  bindUdp(socket, 0, ipv4(127, 0, 0, 1));
  return localEndpoint(socket.get()).port;
}

// The fixture of the ALSA tests in tests/audio_devices: they need the private ALSA
// configuration that ctest names in ALSA_CONFIG_PATH.
class TestAlsaConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* cfg = std::getenv("ALSA_CONFIG_PATH");
    if (cfg == nullptr || std::string(cfg).find("quillet-test-alsa") == std::string::npos)
      GTEST_SKIP() << "needs the private ALSA configuration (run through ctest)";
  }
};

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
