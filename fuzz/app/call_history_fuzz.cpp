// SPDX-License-Identifier: Apache-2.0
// Fuzz target: a line of the call history file. A line that reads back writes a line
// that reads back to the same call.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "app/call_history.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillet::app;
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const std::optional<CallRecord> record = parseCallRecord(line);
  if (!record) {
    return 0;
  }
  const std::optional<CallRecord> again = parseCallRecord(callRecordLine(*record));
  if (!again || again->start != record->start || again->incoming != record->incoming ||
      again->intercom != record->intercom || again->answered != record->answered ||
      again->durationSeconds != record->durationSeconds) {
    std::abort();
  }
  return 0;
}
