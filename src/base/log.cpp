// SPDX-License-Identifier: Apache-2.0
// The log writer: day files opened, appended and closed per line; the view ring.
#include "base/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/audio_device.h"
#include "platform/file_open.h"
#include "platform/paths.h"
#include "platform/utf.h"

namespace quillet::base {

namespace {
constexpr size_t kMaxLineBytes = 8192;

// systemd names the journal stream it connected in JOURNAL_STREAM ("DEVICE:INODE"); a
// standard error redirected elsewhere by a child of the service does not match it.
bool stderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  struct stat info {};
  if (stream == nullptr || ::fstat(STDERR_FILENO, &info) != 0) {
    return false;
  }
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) == stream;
}

// The journal's "<N>" line prefix: a syslog priority.
const char* journalPrefix(LogLevel level) {
  switch (level) {
    case LogLevel::Error:
      return "<3>";
    case LogLevel::Notice:
      return "<5>";
    case LogLevel::Info:
    case LogLevel::CallDecision:
      break;
  }
  return "<6>";
}
}  // namespace

LogView::LogView(std::function<void()> redraw) : redraw_(std::move(redraw)) {
  ring_.reserve(kLines);
}

void LogView::add(std::string_view time, std::string_view message, LogLevel level) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    LogViewLine line{std::string(platform::utf8Cut(time, kMaxTimeChars)),
                     std::string(platform::utf8Cut(message, kMaxMessageChars)), level};
    if (ring_.size() < kLines) {
      ring_.push_back(std::move(line));
    } else {
      ring_[next_] = std::move(line);
      next_ = (next_ + 1) % kLines;
    }
    // A user who scrolled back keeps the same lines in view.
    if (scroll_ <= -7 && scroll_ >= -121) {
      --scroll_;
    }
  }
  if (redraw_) {
    redraw_();
  }
}

std::vector<LogViewLine> LogView::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<LogViewLine> out;
  out.reserve(ring_.size());
  for (size_t i = 0; i < ring_.size(); ++i) {
    out.push_back(ring_[(next_ + i) % ring_.size()]);
  }
  return out;
}

size_t LogView::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ring_.size();
}

int LogView::scrollPosition() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return scroll_;
}

void LogView::setScrollPosition(int position) {
  std::lock_guard<std::mutex> lock(mutex_);
  scroll_ = position > 0 ? 0 : (position < kOldestScroll ? kOldestScroll : position);
}

// ---------------------------------------------------------------------------------------

LogWriter& LogWriter::instance() {
  static LogWriter* writer = [] {
    // The sound devices' own notices (a device gone, the sound threads' priority) are log lines.
    platform::setAudioNotice([](const std::string& line) { logInfo(line); });
    return new LogWriter();  // never destroyed: threads may log at exit
  }();
  return *writer;
}

void LogWriter::setFolder(std::string folder) {
  std::lock_guard<std::mutex> lock(mutex_);
  folder_ = std::move(folder);
  lastSecond_ = -1;  // the next line recomputes the file path
}

std::string LogWriter::folder() {
  std::lock_guard<std::mutex> lock(mutex_);
  return folder_;
}

void LogWriter::setEchoToStderr(bool on) {
  std::lock_guard<std::mutex> lock(mutex_);
  echo_ = on;
  echoToJournal_ = on && stderrIsJournal();
}

void LogWriter::setView(LogView* view) {
  std::lock_guard<std::mutex> lock(viewMutex_);
  view_ = view;
}

void LogWriter::setClock(std::function<std::time_t()> clock) {
  std::lock_guard<std::mutex> lock(mutex_);
  clock_ = std::move(clock);
  lastSecond_ = -1;
}

std::string LogWriter::timeText(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%.2d:%.2d:%.2d", local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

std::string LogWriter::dayFileName(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%.4d-%.2d-%.2d Quillet Log.txt", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday);
  return text;
}

void LogWriter::write(std::string_view message, LogLevel level) {
  // One line per message: line breaks inside a message (a reason phrase from the network,
  // say) become blanks so that nobody can forge extra log lines; bad UTF-8 is replaced.
  std::string clean = platform::sanitizeUtf8(message);
  for (char& c : clean) {
    if (c == '\r' || c == '\n') {
      c = ' ';
    }
  }
  std::string timeText;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::time_t now = clock_ ? clock_() : std::time(nullptr);
    if (now != lastSecond_) {
      lastTimeText_ = LogWriter::timeText(now);
      if (folder_.empty()) {
        folder_ = platform::profilePaths().logsDir();
      }
      lastFile_ = platform::joinPath(folder_, dayFileName(now));
      lastSecond_ = now;
    }
    timeText = lastTimeText_;
    std::string line = timeText + " ";
    line += platform::utf8CutBytes(clean, kMaxLineBytes - line.size() - 2);
    line += "\r\n";
    platform::LockedFile file = platform::openFileRetrying(lastFile_, platform::FileMode::Append,
                                                           platform::kLogOpenBudgetMs, 0644);
    if (file.valid()) {
      file.writeAll(line);  // a line that cannot be written is lost without a message
    }
    if (echo_) {
      std::string echoed = (echoToJournal_ ? journalPrefix(level) : timeText + " ") + clean + "\n";
      ssize_t ignored = ::write(STDERR_FILENO, echoed.data(), echoed.size());
      (void)ignored;
    }
  }
  std::lock_guard<std::mutex> lock(viewMutex_);
  if (view_ != nullptr) {
    view_->add(timeText, clean, level);
  }
}

void logInfo(std::string_view message) {
  LogWriter::instance().write(message, LogLevel::Info);
}
void logError(std::string_view message) {
  LogWriter::instance().write(message, LogLevel::Error);
}
void logNotice(std::string_view message) {
  LogWriter::instance().write(message, LogLevel::Notice);
}
void logCallDecision(std::string_view message) {
  LogWriter::instance().write(message, LogLevel::CallDecision);
}

void logInfo(std::string_view prefix, std::string_view text) {
  logInfo(std::string(prefix) + std::string(text));
}
void logError(std::string_view prefix, std::string_view text) {
  logError(std::string(prefix) + std::string(text));
}
void logInfo(std::string_view prefix, int64_t number) {
  logInfo(std::string(prefix) + std::to_string(number));
}
void logError(std::string_view prefix, int64_t number) {
  logError(std::string(prefix) + std::to_string(number));
}

void logFormat(LogLevel level, const char* format, ...) {
  char buffer[kMaxLineBytes];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  LogWriter::instance().write(buffer, level);
}

}  // namespace quillet::base
