// SPDX-License-Identifier: Apache-2.0
// The call history file: its lines, their reading, appending and the rotation to FILE.1.
#include "app/call_history.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "base/log.h"

namespace quillet::app {

namespace {

using Json = nlohmann::ordered_json;

constexpr size_t kMaxLineBytes = 16 * 1024;  // longer lines are not ours

bool digitsAt(std::string_view text, size_t at, size_t count, int& out) {
  out = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') {
      return false;
    }
    out = out * 10 + (text[i] - '0');
  }
  return true;
}

const std::string* textField(const Json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
}

bool readFile(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  out = text.str();
  return true;
}

// The lines of one part, oldest first; damaged ones are logged and left out.
void readPart(const std::string& path, std::vector<CallRecord>& out) {
  std::string text;
  if (!readFile(path, text)) {
    return;
  }
  size_t lineNumber = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    const std::string_view line =
        std::string_view(text).substr(at, end == std::string::npos ? std::string::npos : end - at);
    ++lineNumber;
    at = end == std::string::npos ? text.size() : end + 1;
    if (line.empty()) {
      continue;
    }
    std::optional<CallRecord> record =
        end == std::string::npos ? std::nullopt : parseCallRecord(line);  // a cut write
    if (record) {
      out.push_back(std::move(*record));
    } else {
      base::logError("Call history: skipping the damaged line " + std::to_string(lineNumber) +
                     " of " + path);
    }
  }
}

}  // namespace

std::string isoTimeUtc(std::time_t time) {
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::optional<std::time_t> parseIsoTimeUtc(std::string_view text) {
  // Exactly "YYYY-MM-DDTHH:MM:SSZ".
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z') {
    return std::nullopt;
  }
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!digitsAt(text, 0, 4, year) || !digitsAt(text, 5, 2, month) || !digitsAt(text, 8, 2, day) ||
      !digitsAt(text, 11, 2, hour) || !digitsAt(text, 14, 2, minute) ||
      !digitsAt(text, 17, 2, second) || year < 1970 || month < 1 || month > 12 || day < 1 ||
      day > 31 || hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  return timegm(&parts);
}

std::string callRecordLine(const CallRecord& record) {
  Json line = {{"start", isoTimeUtc(record.start)},
               {"direction", record.incoming ? "in" : "out"},
               {"kind", record.intercom ? "intercom" : "call"},
               {"uri", record.uri},
               {"name", record.name},
               {"answered", record.answered},
               {"duration", record.durationSeconds}};
  if (!record.endReason.empty()) {
    line["reason"] = record.endReason;
  }
  // The far end's texts may hold malformed UTF-8: it is stored as U+FFFD.
  return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<CallRecord> parseCallRecord(std::string_view line) {
  if (line.size() > kMaxLineBytes) {
    return std::nullopt;
  }
  const Json object = Json::parse(line, nullptr, false);
  if (!object.is_object()) {
    return std::nullopt;
  }
  const std::string* start = textField(object, "start");
  const std::string* direction = textField(object, "direction");
  const std::string* kind = textField(object, "kind");
  const std::string* uri = textField(object, "uri");
  const std::string* name = textField(object, "name");
  const auto answered = object.find("answered");
  const auto duration = object.find("duration");
  if (start == nullptr || direction == nullptr || kind == nullptr || uri == nullptr ||
      name == nullptr || answered == object.end() || !answered->is_boolean() ||
      duration == object.end() || !duration->is_number_integer()) {
    return std::nullopt;
  }
  const std::optional<std::time_t> time = parseIsoTimeUtc(*start);
  const int64_t seconds = duration->get<int64_t>();
  if (!time || (*direction != "in" && *direction != "out") ||
      (*kind != "call" && *kind != "intercom") || seconds < 0) {
    return std::nullopt;
  }
  CallRecord record;
  record.start = *time;
  record.incoming = *direction == "in";
  record.intercom = *kind == "intercom";
  record.uri = *uri;
  record.name = *name;
  record.answered = answered->get<bool>();
  record.durationSeconds = seconds;
  if (const std::string* reason = textField(object, "reason")) {
    record.endReason = *reason;
  }
  return record;
}

CallHistory::CallHistory(std::string path, uint64_t rotateBytes)
    : path_(std::move(path)), rotateBytes_(rotateBytes) {}

bool CallHistory::append(const CallRecord& record) const {
  struct stat info {};
  if (::stat(path_.c_str(), &info) == 0 && static_cast<uint64_t>(info.st_size) >= rotateBytes_ &&
      std::rename(path_.c_str(), (path_ + ".1").c_str()) != 0) {
    base::logError("Call history: cannot move aside " + path_);
  }
  const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) {
    base::logError("Call history: cannot open " + path_);
    return false;
  }
  std::string line = callRecordLine(record) + "\n";
  // A line cut by an earlier crash is ended first, so that it does not swallow this one.
  char last = '\n';
  const off_t size = ::lseek(fd, 0, SEEK_END);
  if (size > 0 && ::pread(fd, &last, 1, size - 1) == 1 && last != '\n') {
    line.insert(line.begin(), '\n');
  }
  const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  ::close(fd);
  if (!written) {
    base::logError("Call history: cannot write " + path_);
  }
  return written;
}

std::vector<CallRecord> CallHistory::read(size_t limit) const {
  std::vector<CallRecord> records;
  readPart(path_ + ".1", records);
  readPart(path_, records);
  std::reverse(records.begin(), records.end());  // the latest written first
  std::stable_sort(records.begin(), records.end(),
                   [](const CallRecord& a, const CallRecord& b) { return a.start > b.start; });
  if (limit != 0 && records.size() > limit) {
    records.resize(limit);
  }
  return records;
}

}  // namespace quillet::app
