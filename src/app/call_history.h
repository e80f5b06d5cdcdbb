// SPDX-License-Identifier: Apache-2.0
// The call history of the profile: one JSON object per line, appended when a call ends,
// and moved to FILE.1 (one older part kept) once it has passed its size limit. Reading
// skips damaged lines and never writes.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::app {

struct CallRecord {
  std::time_t start = 0;  // when it began to ring or was dialled (UTC)
  bool incoming = false;
  bool intercom = false;        // answered by itself or placed to be answered so
  std::string uri;              // the far end, as "alice@127.0.0.1:5090"
  std::string name;             // the far end's shown name (may be empty)
  bool answered = false;        // it came up; otherwise missed (or not answered)
  int64_t durationSeconds = 0;  // from the answer to the end (0 when not answered)
  std::string endReason;        // "refused", "do not disturb", ... (empty: not known)
};

// "2026-12-10T23:55:01Z" and back; nullopt for any other text.
std::string isoTimeUtc(std::time_t time);
std::optional<std::time_t> parseIsoTimeUtc(std::string_view text);

// One line of the file (without its newline) and its reading; nullopt for a line that is
// not such an object.
std::string callRecordLine(const CallRecord& record);
std::optional<CallRecord> parseCallRecord(std::string_view line);

class CallHistory {
 public:
  static constexpr uint64_t kRotateBytes = 256 * 1024;

  explicit CallHistory(std::string path, uint64_t rotateBytes = kRotateBytes);

  // Appends the call (rotating first when the file has passed the limit). False, with a
  // log line, when it could not be written.
  bool append(const CallRecord& record) const;
  // The calls of both parts, newest first, at most `limit` of them (0: all). Damaged
  // lines are skipped with one log line each.
  std::vector<CallRecord> read(size_t limit = 0) const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  uint64_t rotateBytes_;
};

}  // namespace quillet::app
