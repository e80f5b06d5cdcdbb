// SPDX-License-Identifier: Apache-2.0
// contacts.ini shared between processes: a writer killed at any moment leaves a complete
// old or new address book, and what one process writes the other sees at its next read.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "contacts/contact_store.h"
#include "contacts/ini_document.h"
#include "contacts/ini_file.h"
#include "contacts/test_support.h"

namespace quillet::contacts {
namespace {

using testing::readFile;
using testing::TempFolder;

std::string personName(int i) {
  return "Person " + std::to_string(i);
}

// Runs `body` in a child process and answers its pid; the child ends with _exit.
template <typename F>
pid_t spawn(F&& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    body();
    ::_exit(0);
  }
  return pid;
}

int waitFor(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

void fillBook(const std::string& path, int count) {
  IniContactStore store(path);
  auto group = store.groupChanges();
  for (int i = 0; i < count; ++i) {
    store.add(personName(i), "sip:" + std::to_string(i) + "@example.org", "");
  }
}

TEST(ContactsAcrossProcesses, KilledWriterLeavesOldOrNewBook) {
  TempFolder folder;
  const std::string path = folder.file("contacts.ini");
  constexpr int kBase = 1500;  // a file of about 100 kB, so that kills land inside writes
  fillBook(path, kBase);
  std::mt19937 random(12345);
  for (int round = 0; round < 25; ++round) {
    const pid_t writer = spawn([&] {
      IniContactStore store(path);
      for (;;) {
        store.add("Extra", "1", "extra@example.org");
        store.update(kBase, "Extra changed", "2", "");
        store.deleteContact(kBase);
      }
    });
    ASSERT_GT(writer, 0);
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 30000));
    ::kill(writer, SIGKILL);
    waitFor(writer);

    const std::string text = readFile(path);
    ASSERT_GE(text.size(), 4u);
    EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n") << "round " << round;
    const IniDocument doc = IniDocument::parse(text);
    const int count = IniFile::parseInt(doc.get("contacts", "entrycount").value_or(""));
    ASSERT_TRUE(count == kBase || count == kBase + 1) << "round " << round << " count " << count;
    for (int i = 0; i < kBase; ++i) {
      ASSERT_EQ(doc.get("contacts", "entry" + std::to_string(i) + "name"), personName(i))
          << "round " << round;
    }
    if (count == kBase + 1) {
      const auto extra = doc.get("contacts", "entry" + std::to_string(kBase) + "name");
      EXPECT_TRUE(extra == "Extra" || extra == "Extra changed") << "round " << round;
    }
    // Leave the book as it was for the next round.
    IniContactStore(path).deleteContact(kBase);
    ASSERT_EQ(IniContactStore(path).count(), kBase);
  }
}

TEST(ContactsAcrossProcesses, ChangeOfAnotherProcessIsSeenAtNextRead) {
  TempFolder folder;
  const std::string path = folder.file("contacts.ini");
  IniContactStore store(path);
  store.add("Ann", "100", "");
  ASSERT_EQ(readContacts(store).size(), 1u);  // now cached in this process

  const pid_t other = spawn([&] {
    IniContactStore theirs(path);
    theirs.update(0, "Ann", "101", "");
    theirs.add("Bob", "200", "");
  });
  ASSERT_EQ(waitFor(other), 0);
  const auto contacts = readContacts(store);
  ASSERT_EQ(contacts.size(), 2u);
  EXPECT_EQ(contacts[0].number, "101");
  EXPECT_EQ(contacts[1].name, "Bob");

  // A deletion over there does not leave its texts behind here.
  ASSERT_EQ(waitFor(spawn([&] { IniContactStore(path).deleteContact(1); })), 0);
  EXPECT_EQ(store.count(), 1);
  store.add("Carl", "", "");
  EXPECT_EQ(IniFile::getText(path, "contacts", "entry1phone", "absent"), "absent");
}

TEST(ContactsAcrossProcesses, ConcurrentWritersLoseNoContact) {
  TempFolder folder;
  const std::string path = folder.file("contacts.ini");
  fillBook(path, 10);
  constexpr int kEach = 40;
  std::vector<pid_t> writers;
  for (int w = 0; w < 3; ++w) {
    writers.push_back(::fork());
    if (writers.back() == 0) {
      // An addition may be refused when the others keep the file longer than the write
      // budget (a loaded machine); one that is not refused must be in the file.
      IniContactStore store(path);
      int refused = 0;
      for (int i = 0; i < kEach; ++i) {
        if (store.add("W" + std::to_string(w) + "-" + std::to_string(i), "", "") < 0 ||
            IniFile::hasUnwrittenChanges(path)) {
          ++refused;
        }
      }
      ::_exit(refused);
    }
  }
  int refused = 0;
  for (pid_t writer : writers) {
    const int status = waitFor(writer);
    ASSERT_TRUE(WIFEXITED(status));
    refused += WEXITSTATUS(status);
  }
  EXPECT_LT(refused, 3 * kEach);
  IniContactStore store(path);
  const auto contacts = readContacts(store);
  ASSERT_EQ(contacts.size(), 10u + 3 * kEach - static_cast<size_t>(refused));
  std::set<std::string> names;
  for (size_t p = 0; p < contacts.size(); ++p) {
    names.insert(contacts[p].name);
    EXPECT_EQ(store.idAt(static_cast<int32_t>(p)), static_cast<int32_t>(p));
  }
  EXPECT_EQ(names.size(), contacts.size());
}

}  // namespace
}  // namespace quillet::contacts
