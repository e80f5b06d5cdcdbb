// SPDX-License-Identifier: Apache-2.0
// The settings file: format, preservation of hand edits, atomic rewrites (its private
// mode and a damaged file read through the tool are startup_test's).
#include "platform/settings_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/test_util.h"

namespace quillet::platform {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

TEST(SettingsDocument, KeepsValuesExactlyAndEscapesLineBreaks) {
  SettingsDocument doc;
  ASSERT_TRUE(doc.set("S", "A", "  two blanks\\and\na break\r "));
  SettingsDocument reread = SettingsDocument::parse(doc.serialize());
  EXPECT_EQ(reread.get("S", "A").value_or("?"), "  two blanks\\and\na break\r ");
  EXPECT_EQ(doc.serialize(), "[S]\nA=  two blanks\\\\and\\na break\\r \n");
  // Names the file could not read back are refused.
  for (const auto& [section, key] :
       {std::pair{"S", "a=b"}, {"S\nT", "a"}, {"", "a"}, {"S", " a"}}) {
    EXPECT_FALSE(doc.set(section, key, "x")) << section << "/" << key;
  }
  EXPECT_EQ(doc.serialize(), "[S]\nA=  two blanks\\\\and\\na break\\r \n");
}

// Stray carriage returns do not grow on a rewrite; damaged lines are skipped but kept.
TEST(SettingsDocument, RewritesWhatItReadWithoutGrowingOrLosingLines) {
  const std::pair<std::string, std::string> cases[] = {
      {"[S]\r\nA=1\r\r\r\n\r\r\n", "[S]\nA=1\n\n"},
      {"orphan=1\n[S]\nno equals sign\n=novalue\n[]\nA=1\n",
       "orphan=1\n[S]\nno equals sign\n=novalue\n[]\nA=1\n"}};
  for (const auto& [text, written] : cases) {
    SettingsDocument doc = SettingsDocument::parse(text);
    EXPECT_EQ(doc.get("S", "A").value_or("?"), "1") << text;
    EXPECT_FALSE(doc.get("S", "orphan").has_value());
    EXPECT_EQ(doc.serialize(), written);
  }
}

TEST(SettingsDocument, RemoveSectionTakesSubsectionsOnly) {
  SettingsDocument doc = SettingsDocument::parse(
      "[Hotkey/Details]\nMaxID=3\n[Hotkey/Details\\0]\nKey=1\n[Hotkey/Details\\0\\x]\nA=1\n"
      "[Hotkey/Details\\1]\nKey=2\n[Hotkey/Details0]\nKeep=1\n");
  EXPECT_TRUE(doc.removeSection("hotkey/details\\0"));
  EXPECT_FALSE(doc.hasSection("Hotkey/Details\\0"));
  EXPECT_FALSE(doc.hasSection("Hotkey/Details\\0\\x"));
  EXPECT_TRUE(doc.hasSection("Hotkey/Details\\1"));
  EXPECT_TRUE(doc.hasSection("Hotkey/Details0"));
}

TEST(SettingsFile, HandEditedFileKeepsCommentsOrderAndSpacing) {
  TempDir dir;
  std::string path = dir.file("settings.ini");
  writeFile(path,
            "# my line\r\n[DefaultLine]\r\n  UserName = 201\r\nProxy=pbx.local\r\n\r\n"
            "; sound\r\n[Settings]\r\nUseAGC=0\r\n");
  SettingsFile file(path);
  EXPECT_EQ(file.get("DefaultLine", "UserName").value_or("?"), " 201");
  ASSERT_TRUE(file.set("defaultline", "username", "202"));
  ASSERT_TRUE(file.set("Settings", "DoNotDisturb", "1"));
  EXPECT_EQ(readFile(path),
            "# my line\n[DefaultLine]\n  UserName =202\nProxy=pbx.local\n\n"
            "; sound\n[Settings]\nUseAGC=0\nDoNotDisturb=1\n");
}

// A writer killed between its temporary and the rename leaves "settings.ini.XXXXXX"
// behind: the next write removes such leftovers, and nothing else.
TEST(SettingsFile, WriteRemovesTemporariesLeftByAKilledWriter) {
  TempDir dir;
  std::string path = dir.file("settings.ini");
  writeFile(path, "[Settings]\r\nUseAGC=0\r\n");
  writeFile(dir.file("settings.ini.a1B2c3"), "[Settings]\r\n");
  writeFile(dir.file("settings.ini.bak"), "kept");
  writeFile(dir.file("settings.ini.a1B2c3d"), "kept");
  writeFile(dir.file("contacts.ini.a1B2c3"), "kept");
  SettingsFile file(path);
  ASSERT_TRUE(file.set("Settings", "UseAGC", "1"));
  EXPECT_FALSE(std::filesystem::exists(dir.file("settings.ini.a1B2c3")));
  EXPECT_TRUE(std::filesystem::exists(dir.file("settings.ini.bak")));
  EXPECT_TRUE(std::filesystem::exists(dir.file("settings.ini.a1B2c3d")));
  EXPECT_TRUE(std::filesystem::exists(dir.file("contacts.ini.a1B2c3")));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            4);
}

TEST(SettingsFile, SeesChangesMadeOnDiskByOthers) {
  TempDir dir;
  std::string path = dir.file("settings.ini");
  SettingsFile first(path);
  SettingsFile second(path);
  EXPECT_FALSE(first.get("S", "A").has_value());
  ASSERT_TRUE(second.set("S", "A", "1"));
  EXPECT_EQ(first.get("S", "A").value_or("?"), "1");
  writeFile(path, "[S]\nA=22\n");
  EXPECT_EQ(first.get("S", "A").value_or("?"), "22");
  ASSERT_TRUE(first.remove("S", "A"));
  EXPECT_FALSE(second.get("S", "A").has_value());
}

// Another process writes in the moment between our rename and the end of our write: its
// value is seen on the next read (a stamp taken from the path would have hidden it).
TEST(SettingsFile, WriteByAnotherProcessRightAfterOurSaveIsSeen) {
  TempDir dir;
  std::string path = dir.file("settings.ini");
  SettingsFile ours(path);
  ASSERT_TRUE(ours.set("S", "Mine", "1"));
  ours.setAfterReplaceForTest([&] {
    pid_t child = ::fork();
    if (child == 0) {
      SettingsFile theirs(path);
      ::_exit(theirs.set("S", "Theirs", "2") ? 0 : 1);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  });
  ASSERT_TRUE(ours.set("S", "Mine", "3"));
  ours.setAfterReplaceForTest(nullptr);
  EXPECT_EQ(ours.get("S", "Theirs").value_or("unseen"), "2");
  EXPECT_EQ(ours.get("S", "Mine").value_or("?"), "3");
}

TEST(SettingsFile, MissingOrUnreadableFileReadsEmptyAndReadOnlyNeverWrites) {
  TempDir dir;
  SettingsFile missing(dir.file("nothing/here.ini"), true);
  EXPECT_FALSE(missing.get("S", "A").has_value());
  EXPECT_FALSE(missing.set("S", "A", "1"));
  EXPECT_FALSE(std::filesystem::exists(dir.file("nothing")));
  SettingsFile folder(dir.file(""));  // a folder is not a file
  EXPECT_FALSE(folder.get("S", "A").has_value());
  EXPECT_FALSE(folder.set("S", "A", "1"));
}

TEST(SettingsFile, ConcurrentWritersFromTwoProcessesLoseNothing) {
  TempDir dir;
  std::string path = dir.file("settings.ini");
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    SettingsFile file(path);
    for (int i = 0; i < 40; ++i) {
      file.set("Child", "V" + std::to_string(i), std::to_string(i));
    }
    ::_exit(0);
  }
  SettingsFile file(path);
  for (int i = 0; i < 40; ++i) {
    file.set("Parent", "V" + std::to_string(i), std::to_string(i));
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  SettingsFile check(path);
  EXPECT_EQ(check.values("Child").size(), 40u);
  EXPECT_EQ(check.values("Parent").size(), 40u);
}

TEST(SettingsFile, WriterKilledMidWriteLeavesOldOrNewContentNeverTorn) {
  TempDir dir;
  std::string path = dir.file("settings.ini");
  std::string big(200000, 'x');
  for (int round = 0; round < 6; ++round) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      SettingsFile file(path);
      for (int i = 0;; ++i) {
        char mark = static_cast<char>('a' + i % 26);
        file.set("Big", "A", std::string(big.size(), mark));
        file.set("Big", "B", std::string(big.size(), mark));
      }
    }
    ::usleep(static_cast<useconds_t>(3000 + round * 7000));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    std::string text = readFile(path);
    if (text.empty()) {
      continue;  // killed before the first rename
    }
    SettingsDocument doc = SettingsDocument::parse(text);
    std::string a = doc.get("Big", "A").value_or("");
    ASSERT_EQ(a.size(), big.size()) << "torn file in round " << round;
    EXPECT_EQ(a.find_first_not_of(a[0]), std::string::npos);
    EXPECT_EQ(text.back(), '\n');
  }
}

}  // namespace
}  // namespace quillet::platform
