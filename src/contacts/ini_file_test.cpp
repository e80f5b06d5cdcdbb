// The IniFile cache: freshness check, written file, batches and failures.
#include "contacts/ini_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "contacts/test_support.h"

namespace quillet::contacts {
namespace {

using testing::readFile;
using testing::TempFolder;

TEST(IniFile, SetWritesWrittenFormAtOnce) {
  TempFolder folder;
  const std::string path = folder.file("a.ini");
  EXPECT_EQ(IniFile::getText(path, "s", "k", "dflt"), "dflt");  // missing file
  EXPECT_TRUE(IniFile::setText(path, "Sect", "Key", "v 1"));
  EXPECT_TRUE(IniFile::setInt(path, "sect", "n", -42));
  EXPECT_TRUE(IniFile::setText(path, "other", "x", ""));
  EXPECT_EQ(readFile(path), "[Sect]\r\nKey=v 1\r\nn=-42\r\n\r\n[other]\r\nx=\r\n\r\n");
  EXPECT_FALSE(IniFile::hasUnwrittenChanges(path));
  // The file is replaced as a whole; no temporary file stays behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                          std::filesystem::directory_iterator()),
            1);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(IniFile, DeletingLastKeyLeavesSectionHeader) {
  TempFolder folder;
  const std::string path = folder.file("a.ini");
  IniFile::setText(path, "s", "k", "v");
  IniFile::deleteKey(path, "s", "K");
  EXPECT_EQ(readFile(path), "[s]\r\n\r\n");
  // Deleting in a missing section neither creates it nor fails.
  EXPECT_TRUE(IniFile::deleteKey(path, "none", "k"));
  EXPECT_EQ(readFile(path), "[s]\r\n\r\n");
}

TEST(IniFile, IntegersAndCounts) {
  TempFolder folder;
  const std::string path = folder.file("a.ini");
  testing::rewriteInPlace(path, "[s]\r\na=12ab\r\nb=\r\nc= -7\r\nd=x\r\ne=99999999999\r\n");
  EXPECT_EQ(IniFile::getInt(path, "s", "a", 5), 12);
  EXPECT_EQ(IniFile::getInt(path, "s", "b", 5), 5);  // empty reads as the default
  EXPECT_EQ(IniFile::getInt(path, "s", "c", 5), -7);
  EXPECT_EQ(IniFile::getInt(path, "s", "d", 5), 0);
  EXPECT_EQ(IniFile::getInt(path, "s", "e", 5), 2147483647);
  EXPECT_EQ(IniFile::getInt(path, "s", "missing", 5), 5);
  EXPECT_EQ(IniFile::getCount(path, "s", "entry"), 0);
  IniFile::setCount(path, "s", "entry", 3);
  EXPECT_EQ(IniFile::getText(path, "s", "entrycount"), "3");
}

TEST(IniFile, ChangeByAnotherProgramIsSeenAtNextGet) {
  TempFolder folder;
  const std::string path = folder.file("a.ini");
  IniFile::setText(path, "s", "k", "one");
  EXPECT_EQ(IniFile::getText(path, "s", "k"), "one");
  // Replaced by rename: same size, new file.
  testing::writeFileAsOtherProgram(path, "[s]\r\nk=two\r\n\r\n");
  EXPECT_EQ(IniFile::getText(path, "s", "k"), "two");
  // Rewritten in place with the same size and a last-write time in the same second.
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  testing::rewriteInPlace(path, "[s]\r\nk=333\r\n\r\n");
  struct timespec times[2] = {before.st_atim, before.st_mtim};
  times[1].tv_nsec = times[1].tv_nsec == 0 ? 1 : times[1].tv_nsec - 1;
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  EXPECT_EQ(IniFile::getText(path, "s", "k"), "333");
}

TEST(IniFile, KeysRemovedByAnotherProgramDoNotComeBack) {
  TempFolder folder;
  const std::string path = folder.file("a.ini");
  IniFile::setText(path, "s", "a", "1");
  IniFile::setText(path, "s", "b", "2");
  testing::writeFileAsOtherProgram(path, "[s]\r\na=1\r\n\r\n");
  IniFile::setText(path, "s", "c", "3");
  EXPECT_EQ(readFile(path), "[s]\r\na=1\r\nc=3\r\n\r\n");
}

TEST(IniFile, LineBreaksInValuesCannotInjectEntries) {
  TempFolder folder;
  const std::string path = folder.file("a.ini");
  IniFile::setText(path, "s", "name", "x\r\n[evil]\r\nk=v");
  EXPECT_EQ(readFile(path), "[s]\r\nname=x  [evil]  k=v\r\n\r\n");
  // Names the written form could not read back are refused.
  EXPECT_FALSE(IniFile::setText(path, "s", "a=b", "v"));
  EXPECT_FALSE(IniFile::setText(path, "s", "[k", "v"));
  EXPECT_FALSE(IniFile::setText(path, "s]x", "k", "v"));
}

TEST(IniFile, BatchWritesOnceAtItsEnd) {
  TempFolder folder;
  const std::string path = folder.file("a.ini");
  {
    IniFile::Batch batch(path);
    IniFile::setText(path, "s", "a", "1");
    IniFile::setText(path, "s", "b", "2");
    EXPECT_EQ(readFile(path), "");  // created empty by the lock, not written yet
    EXPECT_TRUE(IniFile::hasUnwrittenChanges(path));
    EXPECT_EQ(IniFile::getText(path, "s", "a"), "1");
    {
      IniFile::Batch nested(path);
      IniFile::setText(path, "s", "c", "3");
    }
    EXPECT_EQ(readFile(path), "");
    EXPECT_TRUE(batch.commit());
    EXPECT_EQ(readFile(path), "[s]\r\na=1\r\nb=2\r\nc=3\r\n\r\n");
    IniFile::deleteKey(path, "s", "b");
  }
  EXPECT_EQ(readFile(path), "[s]\r\na=1\r\nc=3\r\n\r\n");
  EXPECT_FALSE(IniFile::hasUnwrittenChanges(path));
}

TEST(IniFile, FailedWriteKeepsChangeForFlushAll) {
  TempFolder folder;
  const std::string sub = folder.file("sub");
  const std::string path = sub + "/a.ini";
  // The folder is missing: the write fails, the value stays in memory.
  EXPECT_FALSE(IniFile::setText(path, "s", "k", "v"));
  EXPECT_TRUE(IniFile::hasUnwrittenChanges(path));
  EXPECT_EQ(IniFile::getText(path, "s", "k"), "v");
  std::filesystem::create_directory(sub);
  IniFile::flushAll();
  EXPECT_EQ(readFile(path), "[s]\r\nk=v\r\n\r\n");
  EXPECT_FALSE(IniFile::hasUnwrittenChanges(path));
}

TEST(IniFile, UnwrittenChangeIsNotWrittenOverAnotherWritersFile) {
  TempFolder folder;
  const std::string path = folder.file("a.ini");
  IniFile::setText(path, "s", "a", "1");
  {
    // Another writer keeps the file locked for longer than the write budget.
    const int holder = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    EXPECT_FALSE(IniFile::setText(path, "s", "b", "2"));
    EXPECT_TRUE(IniFile::hasUnwrittenChanges(path));
    EXPECT_EQ(IniFile::getText(path, "s", "b"), "2");
    {
      IniFile::Batch batch(path);
      EXPECT_FALSE(batch.locked());
    }
    // It replaces the file and lets go.
    testing::writeFileAsOtherProgram(path, "[s]\r\na=9\r\n\r\n");
    ::close(holder);
  }
  // The next change is made to the other writer's file; the unwritten one is dropped.
  EXPECT_TRUE(IniFile::setText(path, "s", "c", "3"));
  EXPECT_EQ(readFile(path), "[s]\r\na=9\r\nc=3\r\n\r\n");
}

TEST(IniFile, ReadsFileWrittenByHandWithAnyLineEnds) {
  TempFolder folder;
  const std::string path = folder.file("a.ini");
  testing::rewriteInPlace(path, "junk\n[contacts]\nentrycount=1\nentry0name=Ann\n");
  EXPECT_EQ(IniFile::getText(path, "CONTACTS", "Entry0Name"), "Ann");
  IniFile::setText(path, "contacts", "entry0phone", "1");
  EXPECT_EQ(readFile(path),
            "[contacts]\r\nentrycount=1\r\nentry0name=Ann\r\nentry0phone=1\r\n\r\n");
}

}  // namespace
}  // namespace quillet::contacts
