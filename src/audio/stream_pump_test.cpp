// StreamPump and StreamRecorder: a finished source pumped to its end, a live source waited
// for, restart, format adaptation; the stream recorder's voice switch, pre-roll and its
// stop at the end of its source.
#include "audio/stream_pump.h"

#include <gtest/gtest.h>

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

std::vector<int32_t> counting(uint32_t n) {
  std::vector<int32_t> s(n);
  for (uint32_t i = 0; i < n; ++i) s[i] = static_cast<int32_t>(i) * 16;
  return s;
}

TEST(StreamPump, PumpsAFinishedSourceToItsEndAndStopsItself) {
  platform::PlainMessageLoop loop;
  StreamPump pump(loop);
  PumpEvents events;
  pump.SetListener(&events, 1);
  auto* sink = new CollectSink(8000, 1);
  SinkRef sinkRef(sink);
  ASSERT_EQ(pump.Start(SourceRef(new MemorySource(8000, 1, counting(2000))), sinkRef), 1);
  ASSERT_TRUE(pumpUntil(
      loop, [&] { return !pump.active(); }, 3000));
  EXPECT_EQ(sink->data(), counting(2000));
  ASSERT_FALSE(events.positions.empty());
  EXPECT_EQ(events.positions.back(), 250u);  // the source's length in ms
  EXPECT_EQ(events.seen, (std::vector<std::string>{"started", "stopped"}));
  EXPECT_FALSE(pump.hasThread());
}

// A finished file at another rate goes through the resampler and the peak limiter the
// resampler's wider range calls for; the pump still reaches the end and stops.
TEST(StreamPump, AFinishedSourceAtAnotherRateEndsAtItsLength) {
  platform::PlainMessageLoop loop;
  StreamPump pump(loop);
  PumpEvents events;
  pump.SetListener(&events, 1);
  auto* sink = new CollectSink(8000, 1);
  SinkRef sinkRef(sink);
  std::vector<int32_t> s(16000);
  for (uint32_t i = 0; i < s.size(); ++i) s[i] = (i / 20) % 2 != 0 ? 200000 : -200000;
  ASSERT_EQ(pump.Start(SourceRef(new MemorySource(16000, 1, s)), sinkRef), 1);
  ASSERT_TRUE(pumpUntil(
      loop, [&] { return !pump.active(); }, 5000));
  EXPECT_NEAR(static_cast<double>(sink->frames()), 8000, 2);
  ASSERT_FALSE(events.positions.empty());
  EXPECT_EQ(events.positions.back(), 1000u);  // one second
  EXPECT_EQ(events.seen, (std::vector<std::string>{"started", "stopped"}));
}

TEST(StreamPump, AdaptsTheSourceToTheSinksFormat) {
  platform::PlainMessageLoop loop;
  StreamPump pump(loop);
  auto* sink = new CollectSink(8000, 2);
  SinkRef sinkRef(sink);
  ASSERT_EQ(pump.Start(SourceRef(new MemorySource(8000, 1, counting(800))), sinkRef), 1);
  ASSERT_TRUE(pumpUntil(
      loop, [&] { return !pump.active(); }, 5000));
  const auto data = sink->data();
  ASSERT_EQ(data.size(), 1600u);
  EXPECT_EQ(data[1598], 799 * 16);
  EXPECT_EQ(data[1599], 799 * 16);
}

TEST(StreamPump, WaitsForALiveSourceAndRestarts) {
  platform::PlainMessageLoop loop;
  StreamPump pump(loop);
  auto* sink = new CollectSink(8000, 1);
  SinkRef sinkRef(sink);
  auto* live = new LiveSource(8000, 1);
  SourceRef src(live);
  live->push(counting(320));
  ASSERT_EQ(pump.Start(src, sinkRef), 1);
  EXPECT_EQ(pump.state() & StreamPump::kNotWaitedYet, StreamPump::kNotWaitedYet);
  ASSERT_TRUE(pumpUntil(
      loop, [&] { return live->waits() >= 2; }, 2000));
  EXPECT_EQ(pump.state(), StreamPump::kActive);  // bit 4 gone after the first wait
  EXPECT_EQ(sink->frames(), 320u);
  pump.Restart(100);  // the source goes back; frames 100.. are pumped again
  ASSERT_TRUE(pumpUntil(
      loop, [&] { return sink->frames() >= 540; }, 2000));
  EXPECT_EQ(sink->data()[320], 100 * 16);
  live->push(counting(80));
  live->finish();
  ASSERT_TRUE(pumpUntil(
      loop, [&] { return !pump.active(); }, 2000));
  EXPECT_EQ(sink->frames(), 620u);
  EXPECT_EQ(pump.Start(SourceRef(), sinkRef), 0);
}

struct RecEvents : RecorderListener {
  std::vector<std::string> seen;
  void OnStreaming(uint32_t) override { seen.push_back("streaming"); }
  void OnWaiting(uint32_t) override { seen.push_back("waiting"); }
  void OnStopped(uint32_t) override { seen.push_back("stopped"); }
};

TEST(StreamRecorder, ThresholdOffPassesEveryBlockAndStopsAtTheEnd) {
  platform::PlainMessageLoop loop;
  StreamRecorder rec(loop);
  RecEvents events;
  rec.SetListener(&events, 3);
  auto* sink = new CollectSink(8000, 1);
  SinkRef sinkRef(sink);
  auto* live = new LiveSource(8000, 1);
  SourceRef src(live);
  live->push(std::vector<int32_t>(800, 0));
  ASSERT_EQ(rec.Start(src, sinkRef, 0, kSilenceDb, 1000), 1);
  EXPECT_EQ(events.seen, (std::vector<std::string>{"streaming", "waiting"}));
  ASSERT_TRUE(pumpUntil(
      loop, [&] { return events.seen.size() >= 3; }, 3000));
  EXPECT_EQ(events.seen[2], "streaming");  // with the first block, silent as it is
  live->push(std::vector<int32_t>(3200, 0));
  live->finish();
  ASSERT_TRUE(pumpUntil(
      loop, [&] { return rec.state() == StreamRecorder::kIdle; }, 3000));
  EXPECT_EQ(sink->frames(), 4000u);
  EXPECT_EQ(events.seen.back(), "stopped");
  EXPECT_FALSE(rec.hasThread());
}

TEST(StreamRecorder, SpeechStartsWithTheSecondHalfOfTheLongPreroll) {
  platform::PlainMessageLoop loop;
  StreamRecorder rec(loop);
  auto* sink = new CollectSink(8000, 1);
  SinkRef sinkRef(sink);
  // 800 frames of faint marks (below the threshold), then a loud block.
  std::vector<int32_t> s(800, 16), loud(800);
  for (uint32_t i = 0; i < 800; ++i) s[i] = static_cast<int32_t>(i) * 16 / 8;
  for (auto& v : loud) v = 400000;
  s.insert(s.end(), loud.begin(), loud.end());
  ASSERT_EQ(rec.Start(SourceRef(new MemorySource(8000, 1, s)), sinkRef, 0, -10, 100000), 1);
  ASSERT_TRUE(pumpUntil(
      loop, [&] { return rec.state() == StreamRecorder::kIdle; }, 3000));
  const auto data = sink->data();
  // The pre-roll block (frames 0..799) is a whole block: only its second half leads in.
  ASSERT_EQ(data.size(), 400u + 800u);
  EXPECT_EQ(data[0], s[400]);
  EXPECT_EQ(data[400], 400000);
}

TEST(StreamRecorder, RefusesNullStreams) {
  platform::PlainMessageLoop loop;
  StreamRecorder rec(loop);
  EXPECT_EQ(rec.Start(SourceRef(), SinkRef(new CollectSink(8000, 1)), 0, kSilenceDb, 0), 0);
  EXPECT_EQ(
      rec.Start(SourceRef(new MemorySource(8000, 1, counting(10))), SinkRef(), 0, kSilenceDb, 0),
      0);
  EXPECT_EQ(rec.state(), StreamRecorder::kIdle);
}

}  // namespace
}  // namespace quillet::audio
