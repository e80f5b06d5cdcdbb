// SPDX-License-Identifier: Apache-2.0
// The process-wide log writer: one file per day in the Logs folder ("YYYY-MM-DD Quillet
// Log.txt", lines "HH:MM:SS text" with CR LF), the on-screen view's ring of the last 128
// lines, and in headless runs a copy of every line on standard error. Any thread may log.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::base {

enum class LogLevel : uint8_t { Info = 0, Error = 1, Notice = 2, CallDecision = 3 };

struct LogViewLine {
  std::string time;     // at most 16 characters
  std::string message;  // at most 259 characters
  LogLevel level = LogLevel::Info;
};

// The ring behind the on-screen log view. The window draws it; the writer fills it.
class LogView {
 public:
  static constexpr size_t kLines = 128;
  static constexpr size_t kMaxMessageChars = 259;
  static constexpr size_t kMaxTimeChars = 16;
  static constexpr int kOldestScroll = -122;  // scroll positions run from 0 back to this

  // redraw: asked after each added line (from the logging thread; the window posts it to
  // the GUI thread).
  explicit LogView(std::function<void()> redraw = {});

  void add(std::string_view time, std::string_view message, LogLevel level);
  // Oldest first.
  std::vector<LogViewLine> lines() const;
  size_t size() const;
  int scrollPosition() const;
  void setScrollPosition(int position);  // clamped to kOldestScroll..0

 private:
  mutable std::mutex mutex_;
  std::function<void()> redraw_;
  std::vector<LogViewLine> ring_;  // capacity kLines
  size_t next_ = 0;                // slot of the next line once the ring is full
  int scroll_ = 0;
};

class LogWriter {
 public:
  static LogWriter& instance();

  // The folder that receives the day files (created by the executable at start). Until
  // set, the profile's Logs folder is used.
  void setFolder(std::string folder);
  std::string folder();
  // Headless runs: every line also goes to standard error. When that is the journal (a
  // systemd service), lines carry its priority prefix instead of the time, which the
  // journal stamps itself.
  void setEchoToStderr(bool on);
  // The window's view, or null. The writer holds its lock while adding, so clearing the
  // view waits for a line being added.
  void setView(LogView* view);
  // Test seam: the clock giving seconds since 1970 (local time is derived from it).
  // Null restores the real clock.
  void setClock(std::function<std::time_t()> clock);

  void write(std::string_view message, LogLevel level);

  // Formats the time text and day file name for a moment (exposed for tests).
  static std::string timeText(std::time_t when);
  static std::string dayFileName(std::time_t when);

 private:
  LogWriter() = default;

  std::mutex mutex_;  // one line at a time, so lines from threads never interleave
  std::string folder_;
  bool echo_ = false;
  bool echoToJournal_ = false;
  std::function<std::time_t()> clock_;
  std::time_t lastSecond_ = -1;
  std::string lastTimeText_;
  std::string lastFile_;
  std::mutex viewMutex_;
  LogView* view_ = nullptr;
};

void logInfo(std::string_view message);
void logError(std::string_view message);
void logNotice(std::string_view message);
void logCallDecision(std::string_view message);
// Prefix and text (or number) joined, as information or as error.
void logInfo(std::string_view prefix, std::string_view text);
void logError(std::string_view prefix, std::string_view text);
void logInfo(std::string_view prefix, int64_t number);
void logError(std::string_view prefix, int64_t number);
// printf-style formatting of one line.
void logFormat(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace quillet::base
