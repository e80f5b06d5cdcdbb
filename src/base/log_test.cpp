// SPDX-License-Identifier: Apache-2.0
// The log writer: line format, day files by the clock seam, the view ring and its scroll.
#include "base/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <thread>

#include "platform/file_open.h"
#include "platform/test_util.h"
#include "platform/tick.h"

namespace quillet::base {
namespace {

using platform::testing::readFile;

class LogTest : public ::testing::Test {
 protected:
  LogTest() {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    LogWriter::instance().setFolder(dir_.path());
    LogWriter::instance().setClock([this] { return now_; });
  }
  ~LogTest() override {
    LogWriter::instance().setClock(nullptr);
    LogWriter::instance().setView(nullptr);
  }
  // The file of the test's day, 2025-12-31.
  std::string dayFile() const { return readFile(dir_.file("2025-12-31 Quillet Log.txt")); }
  platform::testing::TempDir dir_;
  std::time_t now_ = 1767225599;  // 2025-12-31 23:59:59 UTC
};

TEST_F(LogTest, LinesGoToTheDayFileCannotForgeLinesAndTheNewDayStartsANewFile) {
  logInfo("Port ", int64_t{5070});
  logError("Registration failed: ", "403 Forbidden");
  logFormat(LogLevel::Notice, "%s=%d", "x", 3);
  logInfo("evil\r\n00:00:00 forged");
  EXPECT_EQ(dayFile(),
            "23:59:59 Port 5070\r\n23:59:59 Registration failed: 403 Forbidden\r\n"
            "23:59:59 x=3\r\n23:59:59 evil  00:00:00 forged\r\n");
  // The first line of the new day starts the new file.
  now_ += 1;
  logInfo("after midnight");
  EXPECT_EQ(readFile(dir_.file("2026-01-01 Quillet Log.txt")), "00:00:00 after midnight\r\n");
}

// Standard error is a file for the test; JOURNAL_STREAM names it (or not) as systemd would.
std::string echoedLines(bool namedAsJournal) {
  platform::testing::TempDir dir;
  const std::string path = dir.file("stderr.txt");
  int saved = ::dup(STDERR_FILENO);
  int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ::dup2(file, STDERR_FILENO);
  struct stat info {};
  ::fstat(file, &info);
  ::close(file);
  const std::string stream = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  ::setenv("JOURNAL_STREAM", namedAsJournal ? stream.c_str() : "1:1", 1);
  LogWriter::instance().setEchoToStderr(true);
  logInfo("Registered as: sip:201@pbx");
  logError("<0>Registration failed");
  LogWriter::instance().setEchoToStderr(false);
  ::unsetenv("JOURNAL_STREAM");
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  return readFile(path);
}

TEST_F(LogTest, EchoOnStandardErrorIsTimedOrCarriesTheJournalsPriority) {
  EXPECT_EQ(echoedLines(false),
            "23:59:59 Registered as: sip:201@pbx\n23:59:59 <0>Registration failed\n");
  // The journal stamps lines itself; a message cannot choose its own priority.
  EXPECT_EQ(echoedLines(true), "<6>Registered as: sip:201@pbx\n<3><0>Registration failed\n");
  EXPECT_NE(dayFile().find("23:59:59 <0>Registration failed\r\n"), std::string::npos);
}

TEST_F(LogTest, LongMessageIsCutInTheViewAndAt8192BytesInTheFile) {
  LogView view;
  LogWriter::instance().setView(&view);
  std::string message(300, 'm');
  logNotice(message);
  ASSERT_EQ(view.size(), 1u);
  EXPECT_EQ(view.lines()[0].message, std::string(259, 'm'));
  EXPECT_EQ(view.lines()[0].time, "23:59:59");
  EXPECT_EQ(view.lines()[0].level, LogLevel::Notice);
  logInfo(std::string(10000, 'z'));
  EXPECT_EQ(dayFile(), "23:59:59 " + message + "\r\n23:59:59 " + std::string(8181, 'z') + "\r\n");
}

// Scrolled back, the view keeps its lines in view (the log window test shows it): from 7
// lines back, not from 6 (near the bottom it follows the new lines); at the oldest position
// of the ring it no longer moves, and it goes no further back.
TEST(LogView, ScrolledBackViewKeepsItsLinesInView) {
  LogView view;
  view.setScrollPosition(-7);
  view.add("t", "b", LogLevel::Info);
  EXPECT_EQ(view.scrollPosition(), -8);
  view.setScrollPosition(-6);
  view.add("t", "c", LogLevel::Info);
  EXPECT_EQ(view.scrollPosition(), -6);
  view.setScrollPosition(-121);
  view.add("t", "d", LogLevel::Info);
  EXPECT_EQ(view.scrollPosition(), -122);
  view.add("t", "e", LogLevel::Info);
  EXPECT_EQ(view.scrollPosition(), -122);
  view.setScrollPosition(-500);
  EXPECT_EQ(view.scrollPosition(), -122);
}

TEST_F(LogTest, LineIsLostWhenAnotherProgramHoldsTheFile) {
  std::string path = dir_.file("2025-12-31 Quillet Log.txt");
  platform::LockedFile holder = platform::openFileRetrying(path, platform::FileMode::Append, 0);
  ASSERT_TRUE(holder.valid());
  uint32_t start = platform::tickMs();
  logInfo("lost");
  EXPECT_GE(platform::tickDiff(platform::tickMs(), start), 450);
  holder.close();
  logInfo("kept");
  EXPECT_EQ(readFile(path), "23:59:59 kept\r\n");
}

TEST_F(LogTest, ThreadsNeverInterleaveLines) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) {
        logInfo(std::string(100, static_cast<char>('a' + t)));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::istringstream text(dayFile());
  std::string line;
  int count = 0;
  while (std::getline(text, line)) {
    ASSERT_EQ(line.size(), 110u);
    EXPECT_EQ(line.substr(9, 100), std::string(100, line[9]));
    ++count;
  }
  EXPECT_EQ(count, 200);
}

}  // namespace
}  // namespace quillet::base
