// SPDX-License-Identifier: Apache-2.0
// The call history file: lines written and read back, damaged lines skipped without
// touching the file, the rotation into .1 and the newest-first order.
#include "app/call_history.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/test_util.h"

namespace quillet::app {
namespace {

using platform::testing::readFile;
using platform::testing::TempDir;

CallRecord call(std::time_t start, const std::string& uri, bool answered, int64_t seconds) {
  CallRecord record;
  record.start = start;
  record.incoming = true;
  record.intercom = false;
  record.uri = uri;
  record.name = "Door \"front\"";
  record.answered = answered;
  record.durationSeconds = seconds;
  record.endReason = answered ? "" : "missed";
  return record;
}

void appendRaw(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

TEST(CallHistory, LinesRoundTripAndOddOrDamagedLinesAreRefused) {
  CallRecord record = call(1796947200, "door@127.0.0.1:5062", true, 42);
  record.intercom = true;
  record.incoming = false;
  const std::string line = callRecordLine(record);
  EXPECT_EQ(line, R"({"start":"2026-12-11T00:00:00Z","direction":"out","kind":"intercom",)"
                  R"("uri":"door@127.0.0.1:5062","name":"Door \"front\"","answered":true,)"
                  R"("duration":42})");
  const std::optional<CallRecord> back = parseCallRecord(line);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->start, record.start);
  EXPECT_FALSE(back->incoming);
  EXPECT_TRUE(back->intercom);
  EXPECT_EQ(back->name, record.name);
  EXPECT_EQ(back->durationSeconds, 42);
  EXPECT_EQ(parseCallRecord(callRecordLine(call(0, "a@b", false, 0)))->endReason, "missed");

  for (const char* bad :
       {"", "{", "[]", "null",
        R"({"start":"2026-12-10T00:00:00Z","direction":"sideways","kind":"call","uri":"a",)"
        R"("name":"","answered":true,"duration":1})",
        R"({"start":"2026-13-10T00:00:00Z","direction":"in","kind":"call","uri":"a",)"
        R"("name":"","answered":true,"duration":1})",
        R"({"start":"2026-12-10T00:00:00Z","direction":"in","kind":"call","uri":"a",)"
        R"("name":"","answered":"yes","duration":1})",
        R"({"start":"2026-12-10T00:00:00Z","direction":"in","kind":"call","uri":"a",)"
        R"("name":"","answered":true,"duration":-5})",
        R"({"start":"2026-12-10T00:00:00Z","direction":"in","kind":"call","uri":"a",)"
        R"("answered":true,"duration":1})"}) {
    EXPECT_FALSE(parseCallRecord(bad)) << bad;
  }
  EXPECT_FALSE(parseIsoTimeUtc("2026-12-10 00:00:00Z"));
  EXPECT_EQ(parseIsoTimeUtc(isoTimeUtc(1796947201)), 1796947201);
}

TEST(CallHistory, DamagedLinesAreSkippedAndTheFileIsLeftAsItWas) {
  TempDir folder;
  const CallHistory history(folder.file("call-history.jsonl"));
  ASSERT_TRUE(history.append(call(1000, "first@h", true, 3)));
  appendRaw(history.path(), "{not json at all\n");
  ASSERT_TRUE(history.append(call(2000, "second@h", false, 0)));
  appendRaw(history.path(), R"({"start":"2026-12-10T00:00:00Z","direc)");  // cut write
  const std::string before = readFile(history.path());

  std::vector<CallRecord> calls = history.read();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].uri, "second@h");  // newest first
  EXPECT_EQ(calls[1].uri, "first@h");
  EXPECT_EQ(readFile(history.path()), before);

  // The next call starts on a line of its own, so the cut one does not swallow it.
  ASSERT_TRUE(history.append(call(3000, "third@h", true, 9)));
  calls = history.read();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].uri, "third@h");
  EXPECT_EQ(history.read(1).size(), 1u);
}

TEST(CallHistory, PassingTheSizeMovesTheFileToDotOneKeepingOneOlderPart) {
  TempDir folder;
  const CallHistory history(folder.file("h.jsonl"), 400);  // about three lines a part
  for (int i = 0; i < 12; ++i) {
    ASSERT_TRUE(history.append(call(1000 + i, "n" + std::to_string(i) + "@h", true, i)));
    EXPECT_LT(readFile(history.path()).size(), 400u + 200u);
  }
  const std::vector<CallRecord> calls = history.read();
  ASSERT_GE(calls.size(), 4u);
  ASSERT_LT(calls.size(), 12u);  // the oldest parts are gone
  EXPECT_EQ(calls.front().uri, "n11@h");
  for (size_t i = 1; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].start, calls[i - 1].start - 1);  // no gap between the two parts
  }
  EXPECT_FALSE(readFile(history.path() + ".1").empty());
}

}  // namespace
}  // namespace quillet::app
