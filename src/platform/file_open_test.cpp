// SPDX-License-Identifier: Apache-2.0
// Retrying locked open, control socket and profile paths (the instance lock is
// startup_test's: starts together leave exactly one instance).
#include "platform/file_open.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>

#include "platform/control_socket.h"
#include "platform/paths.h"
#include "platform/test_util.h"
#include "platform/tick.h"

namespace quillet::platform {
namespace {

using testing::TempDir;

TEST(FileOpen, GivesUpAfterTheBudgetWhileAnotherHolderKeepsTheLock) {
  TempDir dir;
  std::string path = dir.file("held.txt");
  LockedFile holder = openFileRetrying(path, FileMode::Append, 0);
  ASSERT_TRUE(holder.valid());
  uint32_t start = tickMs();
  EXPECT_FALSE(openFileRetrying(path, FileMode::Append, 100).valid());
  EXPECT_GE(tickDiff(tickMs(), start), 100);
  // Readers share with readers but not with a writer.
  EXPECT_FALSE(openFileRetrying(path, FileMode::Read, 0).valid());
  holder.close();
  LockedFile reader1 = openFileRetrying(path, FileMode::Read, 0);
  LockedFile reader2 = openFileRetrying(path, FileMode::Read, 0);
  EXPECT_TRUE(reader1.valid());
  EXPECT_TRUE(reader2.valid());
  // A missing file is no lock conflict: reading it fails without using the budget.
  start = tickMs();
  EXPECT_FALSE(openFileRetrying(dir.file("none"), FileMode::Read, 5000).valid());
  EXPECT_LT(tickDiff(tickMs(), start), 1000);
}

TEST(FileOpen, SucceedsWhenTheHolderLetsGoWithinTheBudget) {
  TempDir dir;
  std::string path = dir.file("soon.txt");
  LockedFile holder = openFileRetrying(path, FileMode::Write, 0);
  ASSERT_TRUE(holder.writeAll("old content"));
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    holder.close();
  });
  LockedFile writer = openFileRetrying(path, FileMode::Write, 2000);
  release.join();
  ASSERT_TRUE(writer.valid());
  ASSERT_TRUE(writer.writeAll("new"));
  writer.close();
  LockedFile reader = openFileRetrying(path, FileMode::Read, 0);
  std::string text;
  ASSERT_TRUE(reader.readAll(text));
  EXPECT_EQ(text, "new");  // truncated only once the lock was held
}

TEST(ControlSocket, HandsMessagesToTheRunningInstanceAndCarriesItsReply) {
  TempDir dir;
  std::string path = dir.file("quillet.sock");
  EXPECT_EQ(handOver(path, "x", 1000), HandOverResult::NoInstance);
  PlainMessageLoop loop;
  ControlServer server;
  ASSERT_TRUE(server.listen(path));
  std::vector<std::string> messages;
  server.attach(
      loop,
      [&](std::string_view m) {
        messages.emplace_back(m);
        // A second line of a reply is not sent: the reply is one line.
        return std::string("OK\nmore");
      },
      1000);
  HandOverResult results[2];
  std::string replies[2];
  std::thread client([&] {
    results[0] = exchange(path, std::string("hello\0world", 11), 5000, replies[0]);
    results[1] = exchange(path, std::string(2000, 'x'), 5000, replies[1]);  // above the limit
    loop.post([&] { loop.quit(); });
  });
  loop.run();
  client.join();
  EXPECT_EQ(results[0], HandOverResult::Delivered);
  EXPECT_EQ(replies[0], "OK");
  EXPECT_EQ(results[1], HandOverResult::Failed);
  EXPECT_EQ(replies[1], "ERR");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], std::string("hello\0world", 11));
}

// A stale socket file of a killed instance, the socket gone at the end and refusals carried
// to quillet-tool are startup_test's and transfer_e2e's.
TEST(ControlSocket, LongPathsWork) {
  TempDir dir;
  PlainMessageLoop loop;  // outlives the server attached to it
  std::string deep = dir.path() + "/" + std::string(150, 'd');
  ControlServer deepServer;
  ASSERT_TRUE(deepServer.listen(deep + "/quillet.sock"));
  deepServer.attach(
      loop,
      [&](std::string_view) {
        loop.quit();
        return std::string("OK");
      },
      100);
  std::thread client(
      [&] { EXPECT_EQ(handOver(deep + "/quillet.sock", "m", 5000), HandOverResult::Delivered); });
  loop.run();
  client.join();
}

TEST(ProfilePaths, WithoutQuilletHomeTheXdgFolders) {
  std::vector<std::pair<const char*, std::optional<std::string>>> saved;
  for (const char* name :
       {"QUILLET_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "TMPDIR"}) {
    const char* value = std::getenv(name);
    saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
  }
  // QUILLET_HOME holds every profile of the end-to-end runs.
  ::unsetenv("QUILLET_HOME");
  ::setenv("XDG_CONFIG_HOME", "/c", 1);
  ::setenv("XDG_DATA_HOME", "/d", 1);
  ::setenv("XDG_RUNTIME_DIR", "/r", 1);
  ::setenv("TMPDIR", "/t/", 1);
  ProfilePaths paths = profilePaths();
  EXPECT_EQ(paths.settingsFile, "/c/quillet/settings.ini");
  EXPECT_EQ(paths.machineSettingsFile, "/etc/quillet/settings.ini");
  EXPECT_EQ(paths.contactsFile(), "/d/quillet/contacts.ini");
  EXPECT_EQ(paths.lockFile(), "/r/quillet-" + std::to_string(getuid()) + "/quillet.lock");
  EXPECT_EQ(paths.tempDir, "/t");
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(profilePaths().runtimeDir, "/tmp/quillet-" + std::to_string(getuid()));
  for (const auto& [name, value] : saved) {
    value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
  }
  EXPECT_EQ(joinPath("/a/", "/b"), "/a/b");
}

}  // namespace
}  // namespace quillet::platform
