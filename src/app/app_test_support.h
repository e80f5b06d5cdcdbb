// SPDX-License-Identifier: Apache-2.0
// What the tests of the application and of its window share: a temporary profile holding
// a line that has been set up and started before, and a loopback UDP port that was free.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "base/log.h"
#include "base/settings_store.h"
#include "platform/paths.h"
#include "platform/test_util.h"

namespace quillet::app::testing {

using platform::testing::freeUdpPort;

// QUILLET_HOME in a new folder with the global settings and logs there: loopback SIP on a
// free port, null sound devices, no STUN, no AGC and the line "Alice" <alice>. The folder
// goes and QUILLET_HOME is restored at the end.
class TestProfile {
 public:
  TestProfile() {
    char pattern[] = "/tmp/quillet-profile-XXXXXX";
    home_ = ::mkdtemp(pattern);
    const char* old = std::getenv("QUILLET_HOME");
    hadHome_ = old != nullptr;
    oldHome_ = hadHome_ ? old : "";
    ::setenv("QUILLET_HOME", home_.c_str(), 1);
    paths_ = platform::profilePaths();
    platform::makeDirs(paths_.dataDir);
    platform::makeDirs(paths_.logsDir());
    base::SettingsStore::setGlobalFiles(paths_.settingsFile, home_ + "/machine.ini");
    base::LogWriter::instance().setFolder(paths_.logsDir());
    base::SettingsStore& store = base::SettingsStore::global();
    store.writeText("SIP", "LocalAddress", "127.0.0.1");
    store.writeBool("SIP", "STUN", false);
    store.writeInt("SIP", "Port", freeUdpPort());
    store.writeText("Settings", "RecordDevice", "null");
    store.writeText("Settings", "PlayDevice", "null");
    store.writeBool("Settings", "NewInstall", false);
    store.writeBool("Settings", "InstallWizRun", true);
    store.writeBool("Settings", "UseAGC", false);
    store.writeText("DefaultLine", "DisplayName", "Alice");
    store.writeText("DefaultLine", "UserName", "alice");
  }
  ~TestProfile() {
    std::filesystem::remove_all(home_);
    if (hadHome_) {
      ::setenv("QUILLET_HOME", oldHome_.c_str(), 1);
    } else {
      ::unsetenv("QUILLET_HOME");
    }
  }
  TestProfile(const TestProfile&) = delete;
  TestProfile& operator=(const TestProfile&) = delete;

  const std::string& home() const { return home_; }
  const platform::ProfilePaths& paths() const { return paths_; }

 private:
  std::string home_;
  std::string oldHome_;
  bool hadHome_ = false;
  platform::ProfilePaths paths_;
};

// Runs `step` (one turn of a loop) until `done` holds or the time is up.
inline bool pumpUntil(const std::function<void()>& step, const std::function<bool()>& done,
                      std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) {
      return false;
    }
    step();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace quillet::app::testing
