// SPDX-License-Identifier: Apache-2.0
// The IniFile cache: freshness check, written file, batches and failures (the private mode
// and the absence of temporary files are contacts_tool_test's).
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

class IniFileTest : public ::testing::Test {
 protected:
  testing::TempFolder folder_;
  const std::string path_ = folder_.file("a.ini");
};

TEST_F(IniFileTest, SetWritesWrittenFormAtOnce) {
  EXPECT_EQ(IniFile::getText(path_, "s", "k", "dflt"), "dflt");  // missing file
  EXPECT_TRUE(IniFile::setText(path_, "Sect", "Key", "v 1"));
  EXPECT_TRUE(IniFile::setInt(path_, "sect", "n", -42));
  EXPECT_TRUE(IniFile::setText(path_, "other", "x", ""));
  EXPECT_EQ(readFile(path_), "[Sect]\r\nKey=v 1\r\nn=-42\r\n\r\n[other]\r\nx=\r\n\r\n");
  EXPECT_FALSE(IniFile::hasUnwrittenChanges(path_));
  // Deleting the last key leaves the header; deleting in a missing section neither
  // creates it nor fails.
  IniFile::deleteKey(path_, "Other", "X");
  EXPECT_TRUE(IniFile::deleteKey(path_, "none", "k"));
  EXPECT_EQ(readFile(path_), "[Sect]\r\nKey=v 1\r\nn=-42\r\n\r\n[other]\r\n\r\n");
}

TEST_F(IniFileTest, IntegersAndCounts) {
  testing::rewriteInPlace(path_, "[s]\r\na=12ab\r\nb=\r\nc= -7\r\nd=x\r\ne=99999999999\r\n");
  EXPECT_EQ(IniFile::getInt(path_, "s", "a", 5), 12);
  EXPECT_EQ(IniFile::getInt(path_, "s", "b", 5), 5);  // empty reads as the default
  EXPECT_EQ(IniFile::getInt(path_, "s", "c", 5), -7);
  EXPECT_EQ(IniFile::getInt(path_, "s", "d", 5), 0);
  EXPECT_EQ(IniFile::getInt(path_, "s", "e", 5), 2147483647);
  EXPECT_EQ(IniFile::getInt(path_, "s", "missing", 5), 5);
  EXPECT_EQ(IniFile::getCount(path_, "s", "entry"), 0);
  IniFile::setCount(path_, "s", "entry", 3);
  EXPECT_EQ(IniFile::getText(path_, "s", "entrycount"), "3");
}

// A file replaced by another process, and keys it removed, are ContactsAcrossProcesses'.
TEST_F(IniFileTest, ChangeInPlaceOfTheSameSizeIsSeenAtNextGet) {
  IniFile::setText(path_, "s", "k", "two");
  EXPECT_EQ(IniFile::getText(path_, "s", "k"), "two");
  // Rewritten in place with the same size and a last-write time in the same second.
  struct stat before {};
  ASSERT_EQ(::stat(path_.c_str(), &before), 0);
  testing::rewriteInPlace(path_, "[s]\r\nk=333\r\n\r\n");
  struct timespec times[2] = {before.st_atim, before.st_mtim};
  times[1].tv_nsec = times[1].tv_nsec == 0 ? 1 : times[1].tv_nsec - 1;
  ASSERT_EQ(::utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
  EXPECT_EQ(IniFile::getText(path_, "s", "k"), "333");
}

TEST_F(IniFileTest, LineBreaksInValuesCannotInjectEntries) {
  IniFile::setText(path_, "s", "name", "x\r\n[evil]\r\nk=v");
  EXPECT_EQ(readFile(path_), "[s]\r\nname=x  [evil]  k=v\r\n\r\n");
  // Names the written form could not read back are refused.
  EXPECT_FALSE(IniFile::setText(path_, "s", "a=b", "v"));
  EXPECT_FALSE(IniFile::setText(path_, "s", "[k", "v"));
  EXPECT_FALSE(IniFile::setText(path_, "s]x", "k", "v"));
}

TEST_F(IniFileTest, BatchWritesOnceAtItsEnd) {
  {
    IniFile::Batch batch(path_);
    IniFile::setText(path_, "s", "a", "1");
    IniFile::setText(path_, "s", "b", "2");
    EXPECT_EQ(readFile(path_), "");  // created empty by the lock, not written yet
    EXPECT_TRUE(IniFile::hasUnwrittenChanges(path_));
    EXPECT_EQ(IniFile::getText(path_, "s", "a"), "1");
    {
      IniFile::Batch nested(path_);
      IniFile::setText(path_, "s", "c", "3");
    }
    EXPECT_EQ(readFile(path_), "");
    EXPECT_TRUE(batch.commit());
    EXPECT_EQ(readFile(path_), "[s]\r\na=1\r\nb=2\r\nc=3\r\n\r\n");
    IniFile::deleteKey(path_, "s", "b");
  }
  EXPECT_EQ(readFile(path_), "[s]\r\na=1\r\nc=3\r\n\r\n");
  EXPECT_FALSE(IniFile::hasUnwrittenChanges(path_));
}

TEST_F(IniFileTest, FailedWriteKeepsChangeForFlushAll) {
  const std::string sub = folder_.file("sub");
  const std::string inSub = sub + "/a.ini";
  // The folder is missing: the write fails, the value stays in memory.
  EXPECT_FALSE(IniFile::setText(inSub, "s", "k", "v"));
  EXPECT_TRUE(IniFile::hasUnwrittenChanges(inSub));
  EXPECT_EQ(IniFile::getText(inSub, "s", "k"), "v");
  std::filesystem::create_directory(sub);
  IniFile::flushAll();
  EXPECT_EQ(readFile(inSub), "[s]\r\nk=v\r\n\r\n");
  EXPECT_FALSE(IniFile::hasUnwrittenChanges(inSub));
}

TEST_F(IniFileTest, UnwrittenChangeIsNotWrittenOverAnotherWritersFile) {
  IniFile::setText(path_, "s", "a", "1");
  {
    // Another writer keeps the file locked for longer than the write budget.
    const int holder = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    EXPECT_FALSE(IniFile::setText(path_, "s", "b", "2"));
    EXPECT_TRUE(IniFile::hasUnwrittenChanges(path_));
    EXPECT_EQ(IniFile::getText(path_, "s", "b"), "2");
    {
      IniFile::Batch batch(path_);
      EXPECT_FALSE(batch.locked());
    }
    // It replaces the file and lets go.
    testing::writeFileAsOtherProgram(path_, "[s]\r\na=9\r\n\r\n");
    ::close(holder);
  }
  // The next change is made to the other writer's file; the unwritten one is dropped.
  EXPECT_TRUE(IniFile::setText(path_, "s", "c", "3"));
  EXPECT_EQ(readFile(path_), "[s]\r\na=9\r\nc=3\r\n\r\n");
}

}  // namespace
}  // namespace quillet::contacts
