// SPDX-License-Identifier: Apache-2.0
// StreamPump and StreamRecorder: a finished source pumped to its end, a live source waited
// for, restart, the real-time pace of a backlog until caught up and after a held block; the
// stream recorder's voice switch, pre-roll and its stop at the end of its source.
#include "audio/stream_pump.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "audio/recorder_test_util.h"
#include "audio/stream_recorder.h"

namespace quillet::audio {
namespace {

using namespace quillet::audio::testing;

struct PumpEvents : PlayerListener {
  std::vector<std::string> seen;
  std::vector<uint32_t> positions;
  void OnStarted(uint32_t) override { seen.push_back("started"); }
  void OnStopped(uint32_t) override { seen.push_back("stopped"); }
  void OnPosition(const uint32_t* ms, uint32_t) override { positions.push_back(*ms); }
};

struct RecEvents : RecorderListener {
  std::vector<std::string> seen;
  void OnStreaming(uint32_t) override { seen.push_back("streaming"); }
  void OnWaiting(uint32_t) override { seen.push_back("waiting"); }
  void OnStopped(uint32_t) override { seen.push_back("stopped"); }
};

// A pump and a stream recorder on the test's loop with their listeners, and a collecting
// sink the test keeps (both let go of theirs when they stop).
class StreamTest : public ::testing::Test {
 protected:
  StreamTest() {
    pump_.SetListener(&pumpEvents_, 1);
    rec_.SetListener(&recEvents_, 3);
  }
  CollectSink* collect(uint32_t rate, uint32_t channels) {
    auto* sink = new CollectSink(rate, channels);
    sink_ = SinkRef(sink);
    return sink;
  }
  bool pumpedToEnd(int timeoutMs) {
    return pumpUntil(
        loop_, [this] { return !pump_.active(); }, timeoutMs);
  }

  bool recordedToEnd() {
    return pumpUntil(
        loop_, [this] { return rec_.state() == StreamRecorder::kIdle; }, 3000);
  }

  platform::PlainMessageLoop loop_;
  StreamPump pump_{loop_};
  StreamRecorder rec_{loop_};
  PumpEvents pumpEvents_;
  RecEvents recEvents_;
  SinkRef sink_;
};

std::vector<int32_t> counting(uint32_t n) {
  std::vector<int32_t> s(n);
  for (uint32_t i = 0; i < n; ++i) s[i] = static_cast<int32_t>(i) * 16;
  return s;
}

TEST_F(StreamTest, PumpsAFinishedSourceToItsEndAndStopsItself) {
  CollectSink* sink = collect(8000, 1);
  ASSERT_EQ(pump_.Start(SourceRef(new MemorySource(8000, 1, counting(2000))), sink_), 1);
  ASSERT_TRUE(pumpedToEnd(3000));
  EXPECT_EQ(sink->data(), counting(2000));
  ASSERT_FALSE(pumpEvents_.positions.empty());
  EXPECT_EQ(pumpEvents_.positions.back(), 250u);  // the source's length in ms
  EXPECT_EQ(pumpEvents_.seen, (std::vector<std::string>{"started", "stopped"}));
  EXPECT_FALSE(pump_.hasThread());
}

TEST_F(StreamTest, PumpWaitsForALiveSourceAndRestarts) {
  CollectSink* sink = collect(8000, 1);
  auto* live = new LiveSource(8000, 1);
  SourceRef src(live);
  live->push(counting(320));
  // The not-waited-yet bit is set at the start, but the pump thread may already have waited
  // by the time the test looks; only its clearing is certain.
  ASSERT_EQ(pump_.Start(src, sink_), 1);
  ASSERT_TRUE(pumpUntil(
      loop_, [&] { return live->waits() >= 2; }, 2000));
  EXPECT_EQ(pump_.state(), StreamPump::kActive);  // bit 4 gone after the first wait
  EXPECT_EQ(sink->frames(), 320u);
  pump_.Restart(100);  // the source goes back; frames 100.. are pumped again
  ASSERT_TRUE(pumpUntil(
      loop_, [&] { return sink->frames() >= 540; }, 2000));
  EXPECT_EQ(sink->data()[320], 100 * 16);
  live->push(counting(80));
  live->finish();
  ASSERT_TRUE(pumpedToEnd(2000));
  EXPECT_EQ(sink->frames(), 620u);
  EXPECT_EQ(pump_.Start(SourceRef(), sink_), 0);
}

TEST_F(StreamTest, ARealTimePumpHoldsBackOnlyTheBacklogBeforeItCaughtUp) {
  CollectSink* sink = collect(8000, 1);
  auto* live = new LiveSource(8000, 1);
  SourceRef src(live);
  live->push(counting(4000));  // 500 ms spooled before the start: sent at real time
  pump_.setRealTime(true);
  ASSERT_EQ(pump_.Start(src, sink_), 1);
  pumpFor(loop_, 150);
  EXPECT_LT(sink->frames(), 3000u);
  ASSERT_TRUE(pumpUntil(
      loop_, [&] { return live->waits() >= 1; }, 2000));
  // Caught up: 600 ms that come at once (a late block) go out in quick steps, well before
  // they would at real time.
  live->push(counting(4800));
  ASSERT_TRUE(pumpUntil(
      loop_, [&] { return sink->frames() == 8800u; }, 400));
  live->finish();
  ASSERT_TRUE(pumpedToEnd(2000));
}

// A sink that holds its first block back (a call whose first audio waits for its keys).
class FirstBlockHeldSink : public CollectSink {
 public:
  using CollectSink::CollectSink;
  void Write(const int32_t* samples, uint32_t frames) override {
    if (!held_) {
      held_ = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      released_ = std::chrono::steady_clock::now();
    }
    CollectSink::Write(samples, frames);
  }
  std::chrono::steady_clock::time_point released() const { return released_; }

 private:
  bool held_ = false;
  std::chrono::steady_clock::time_point released_;
};

TEST_F(StreamTest, ARealTimePumpCountsRealTimeFromWhenTheSinkTookItsFirstBlock) {
  auto* sink = new FirstBlockHeldSink(8000, 1);
  sink_ = SinkRef(sink);
  auto* live = new LiveSource(8000, 1);
  live->push(counting(4000));
  pump_.setRealTime(true);
  ASSERT_EQ(pump_.Start(SourceRef(live), sink_), 1);
  ASSERT_TRUE(pumpUntil(
      loop_, [&] { return sink->frames() > 0; }, 2000));
  // The time the sink held the first block is not made up for with a burst behind it: 15 ms
  // after it took the first 40 ms block, the next has not gone yet (or just now).
  std::this_thread::sleep_until(sink->released() + std::chrono::milliseconds(15));
  EXPECT_LE(sink->frames(), 640u);
  live->finish();
  ASSERT_TRUE(pumpedToEnd(2000));
  EXPECT_EQ(sink->data(), counting(4000));
}

// With the threshold off every block passes, silent as it is, until the source ends; null
// streams are refused.
TEST_F(StreamTest, RecorderWithThresholdOffPassesEveryBlockAndStopsAtTheEnd) {
  EXPECT_EQ(rec_.Start(SourceRef(), SinkRef(new CollectSink(8000, 1)), 0, kSilenceDb, 0), 0);
  EXPECT_EQ(
      rec_.Start(SourceRef(new MemorySource(8000, 1, counting(10))), SinkRef(), 0, kSilenceDb, 0),
      0);
  EXPECT_TRUE(recEvents_.seen.empty());
  CollectSink* sink = collect(8000, 1);
  auto* live = new LiveSource(8000, 1);
  SourceRef src(live);
  live->push(std::vector<int32_t>(800, 0));
  ASSERT_EQ(rec_.Start(src, sink_, 0, kSilenceDb, 1000), 1);
  EXPECT_EQ(recEvents_.seen, (std::vector<std::string>{"streaming", "waiting"}));
  ASSERT_TRUE(pumpUntil(
      loop_, [&] { return recEvents_.seen.size() >= 3; }, 3000));
  EXPECT_EQ(recEvents_.seen[2], "streaming");  // with the first block
  live->push(std::vector<int32_t>(3200, 0));
  live->finish();
  ASSERT_TRUE(recordedToEnd());
  EXPECT_EQ(sink->frames(), 4000u);
  EXPECT_EQ(recEvents_.seen.back(), "stopped");
  EXPECT_FALSE(rec_.hasThread());
}

TEST_F(StreamTest, RecorderSpeechStartsWithTheSecondHalfOfTheLongPreroll) {
  CollectSink* sink = collect(8000, 1);
  // 800 frames of faint marks (below the threshold), then a loud block.
  std::vector<int32_t> s(800, 16), loud(800, 400000);
  for (uint32_t i = 0; i < 800; ++i) s[i] = static_cast<int32_t>(i) * 16 / 8;
  s.insert(s.end(), loud.begin(), loud.end());
  ASSERT_EQ(rec_.Start(SourceRef(new MemorySource(8000, 1, s)), sink_, 0, -10, 100000), 1);
  ASSERT_TRUE(recordedToEnd());
  const auto data = sink->data();
  // The pre-roll block (frames 0..799) is a whole block: only its second half leads in.
  ASSERT_EQ(data.size(), 400u + 800u);
  EXPECT_EQ(data[0], s[400]);
  EXPECT_EQ(data[400], 400000);
}

}  // namespace
}  // namespace quillet::audio
