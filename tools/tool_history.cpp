// SPDX-License-Identifier: Apache-2.0
// quillet-tool history: prints the profile's call history (call-history.jsonl and its
// older part .1) as a JSON array, newest first. Only reads, so it is safe while the
// program runs; damaged lines are left out with a note on standard error.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "app/call_history.h"
#include "base/log.h"
#include "platform/paths.h"
#include "tool.h"

namespace quillet::tool {

namespace {

constexpr const char* kUsage =
    "usage: quillet-tool history [--limit N]\n"
    "  Prints the calls of the profile's data folder (QUILLET_HOME or XDG) as a JSON array,\n"
    "  newest first: {start, direction, kind, uri, name, answered, duration[, reason]}.";

}  // namespace

int runHistory(const Args& args) {
  int limit = 0;
  if (args.size() == 2 && args[0] == "--limit") {
    if (!parseNumber(args[1], 1, 999999, limit)) {
      return usageError(std::string("--limit takes a number from 1 to 999999\n") + kUsage);
    }
  } else if (!args.empty()) {
    return usageError(kUsage);
  }
  base::LogWriter::instance().setEchoToStderr(true);  // damaged lines are told there
  const app::CallHistory history(platform::profilePaths().callHistoryFile());
  nlohmann::ordered_json rows = nlohmann::ordered_json::array();
  for (const app::CallRecord& call : history.read(static_cast<size_t>(limit))) {
    rows.push_back(nlohmann::ordered_json::parse(app::callRecordLine(call)));
  }
  std::printf("%s\n",
              rows.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
  return kExitOk;
}

}  // namespace quillet::tool
