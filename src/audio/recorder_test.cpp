// SPDX-License-Identifier: Apache-2.0
// Recorder on file: and null devices: format fallback with converters, reports on the loop
// thread, the voice switch with pre-roll and hang time, the length limit and the gate,
// digital gain, failures, clean stop (ALSA devices: tests/audio_devices).
#include "audio/recorder.h"

#include <gtest/gtest.h>

#include <thread>

#include "audio/recorder_test_util.h"
#include "audio/volume.h"

namespace quillet::audio {
namespace {

using namespace quillet::audio::testing;

// What the recorder reports, and whether any report came on another thread than the loop's.
struct Events : RecorderListener {
  std::vector<std::string> seen;
  std::vector<LevelDb> firstLevels;
  bool offThread = false;
  std::thread::id loopThread = std::this_thread::get_id();
  void note(const std::string& what) {
    if (std::this_thread::get_id() != loopThread) offThread = true;
    if (!what.empty() && (seen.empty() || seen.back() != what)) seen.push_back(what);
  }
  void OnStreaming(uint32_t cookie) override {
    EXPECT_EQ(cookie, 77u);
    note("streaming");
  }
  void OnWaiting(uint32_t) override { note("waiting"); }
  void OnStopped(uint32_t) override { note("stopped"); }
  void OnPosition(const uint32_t*, uint32_t) override { note(""); }
  void OnLevels(const LevelReport* levels, uint32_t) override {
    note("");
    firstLevels.push_back(levels->count > 0 ? levels->levels[0] : LevelDb{-128});
  }
};

// A recorder on the test's loop with its listener; micFile makes its device a WAV file.
class RecorderTest : public ::testing::Test {
 protected:
  RecorderTest() { rec_.SetListener(&events_, 77); }
  void micFile(uint32_t rate, uint32_t channels, const std::vector<int16_t>& samples) {
    writeWav(dir_.file("mic.wav"), rate, channels, samples);
    rec_.SetDevice("file:" + dir_.file("mic.wav"), 0);
  }
  // A new collecting sink, kept alive by the test (the recorder lets go of it at Stop).
  CollectSink* collect(uint32_t rate, uint32_t channels) {
    auto* sink = new CollectSink(rate, channels);
    sink_ = SinkRef(sink);
    return sink;
  }
  // Starts streaming into a new collecting sink (no length limit, no threshold).
  CollectSink* startStreaming(uint32_t rate, uint32_t channels) {
    CollectSink* sink = collect(rate, channels);
    EXPECT_EQ(rec_.Start(sink_, 0, kSilenceDb, 216000000, Recorder::kBeginStreaming), 1);
    return sink;
  }

  TempDir dir_;
  platform::PlainMessageLoop loop_;
  Recorder rec_{loop_};
  Events events_;
  SinkRef sink_;
};

TEST_F(RecorderTest, StereoFileAt22050ReachesAnAt8000MonoSinkThroughFallback) {
  micFile(22050, 2, sine(22050, 2, 22050, 500, 8000));
  CollectSink* sink = startStreaming(8000, 1);
  EXPECT_EQ(rec_.openedRate(), 22050u);  // 8000 refused; 22050 mono found on the list
  EXPECT_EQ(rec_.openedChannels(), 1u);
  ASSERT_TRUE(pumpUntil(
      loop_, [&] { return sink->frames() >= 2400; }, 3000));
  EXPECT_EQ(rec_.state(), Recorder::kStreaming);
  rec_.Stop();
  const auto data = sink->data();
  // A 500 Hz sine at 8000 Hz: 16 samples per period, full swing after the resampler's
  // start-up; count the rising zero crossings over 2000 samples (125 periods).
  int crossings = 0;
  int32_t peak = 0;
  for (size_t i = 401; i < 2401; ++i) {
    if (data[i - 1] < 0 && data[i] >= 0) ++crossings;
    peak = std::max(peak, std::abs(data[i]));
  }
  EXPECT_NEAR(crossings, 125, 2);
  EXPECT_NEAR(peak, 8000 * 16, 8000 * 16 / 10);
  EXPECT_FALSE(events_.offThread);
  ASSERT_GE(events_.seen.size(), 2u);
  EXPECT_EQ(events_.seen.front(), "streaming");
  EXPECT_EQ(events_.seen.back(), "stopped");
  EXPECT_GE(events_.firstLevels.size(), 5u);
  EXPECT_NEAR(events_.firstLevels.back(), 0, 1);  // a peak of 128000 is about 0 dB
}

TEST_F(RecorderTest, VoiceSwitchKeepsThePrerollAndHangsOn) {
  // 300 ms silence, 400 ms of tone, then silence: blocks are 160 frames (20 ms).
  std::vector<int16_t> s(8000 * 2, 0);
  const auto tone = sine(8000, 1, 3200, 400, 12000);
  std::copy(tone.begin(), tone.end(), s.begin() + 2400);
  micFile(8000, 1, s);
  auto* sink = collect(8000, 1);
  ASSERT_EQ(rec_.Start(sink_, 0, -20, 200, 0), 1);
  ASSERT_TRUE(pumpUntil(
      loop_, [&] { return events_.seen.size() >= 3; }, 3000));
  EXPECT_EQ(events_.seen[0], "waiting");
  EXPECT_EQ(events_.seen[1], "streaming");
  EXPECT_EQ(events_.seen[2], "waiting");
  rec_.Stop();
  const auto data = sink->data();
  ASSERT_GE(data.size(), 320u);
  // The block before the speech (silence) leads in, then the tone begins.
  for (int i = 0; i < 160; ++i) ASSERT_EQ(data[i], 0) << i;
  EXPECT_NE(data[161], 0);
  // The switch closed after the hang time and moved the sink back to 450 ms past the voice
  // (pre-roll + tone: 420 ms of sink position).
  const auto seeks = sink->seeks();
  ASSERT_FALSE(seeks.empty());
  EXPECT_NEAR(static_cast<double>(seeks[0]), (420 + 450) * 8.0, 160.0);
}

// The length limit stops the recorder through the loop; the gate holds its thread until
// released.
TEST_F(RecorderTest, LengthLimitAndGate) {
  rec_.SetDevice("null", 0);
  auto* sink = collect(8000, 1);
  ASSERT_EQ(rec_.Start(sink_, 100, kSilenceDb, 216000000, Recorder::kBeginStreaming), 1);
  ASSERT_TRUE(pumpUntil(
      loop_, [&] { return rec_.state() == Recorder::kIdle; }, 3000));
  ASSERT_FALSE(events_.seen.empty());
  EXPECT_EQ(events_.seen.back(), "stopped");
  EXPECT_GE(sink->frames(), 800u);
  EXPECT_EQ(rec_.levels().levels[0], kSilenceDb);  // silence reads -127

  sink = collect(16000, 2);
  ASSERT_EQ(
      rec_.Start(sink_, 0, kSilenceDb, 1000, Recorder::kHoldAtGate | Recorder::kBeginStreaming), 1);
  pumpFor(loop_, 80);
  EXPECT_EQ(sink->frames(), 0u);
  rec_.ReleaseGate();
  ASSERT_TRUE(pumpUntil(
      loop_, [&] { return sink->frames() >= 320; }, 2000));
  EXPECT_EQ(rec_.openedChannels(), 2u);
  EXPECT_EQ(rec_.levels().count, 2);
  rec_.Stop();
}

TEST_F(RecorderTest, DigitalGainAndDcRemovalShapeTheBlocks) {
  micFile(8000, 1, std::vector<int16_t>(8000, 3000));                      // a constant offset only
  rec_.setDigitalGain(static_cast<uint32_t>(amplitudeFactor(8) / 32768));  // 8 dB
  rec_.setStreamVolume(0.5f);  // a file device has no stream volume: on the samples too
  CollectSink* sink = startStreaming(8000, 1);
  ASSERT_TRUE(pumpUntil(
      loop_, [&] { return sink->frames() >= 4000; }, 3000));
  rec_.Stop();
  const auto data = sink->data();
  // The first sample passes with the gain; the offset then decays away.
  EXPECT_EQ(data[0], static_cast<int32_t>((3000LL * 16 * rec_.digitalGain()) >> 10));
  EXPECT_LT(std::abs(data[3999]), std::abs(data[0]) / 20);
}

// Refusals are silent and start no thread; a stopped recorder leaves no thread or
// descriptor behind.
TEST_F(RecorderTest, RefusalsAndStopLeaveNothingBehind) {
  const int fds = openFds();
  const int threads = threadCount();
  rec_.SetDevice("file:/nonexistent/mic.wav", 0);
  EXPECT_EQ(
      rec_.Start(SinkRef(new CollectSink(8000, 1)), 0, kSilenceDb, 0, Recorder::kBeginStreaming),
      0);
  EXPECT_EQ(rec_.Start(SinkRef(), 0, kSilenceDb, 0, 0), 0);
  EXPECT_EQ(rec_.state(), Recorder::kIdle);
  EXPECT_FALSE(rec_.hasThread());
  EXPECT_TRUE(events_.seen.empty());
  const std::string mic = dir_.file("mic.wav");
  writeWav(mic, 8000, 1, sine(8000, 1, 8000, 300, 5000));
  {
    Recorder rec(loop_);
    rec.SetDevice("file:" + mic, 0);
    ASSERT_EQ(rec.Start(SinkRef(new CollectSink(8000, 1)), 0, kSilenceDb, 216000000,
                        Recorder::kBeginStreaming),
              1);
    pumpFor(loop_, 60);
    rec.Stop();
    EXPECT_FALSE(rec.hasThread());
    EXPECT_EQ(threadCount(), threads);
  }
  EXPECT_EQ(openFds(), fds);
}

}  // namespace
}  // namespace quillet::audio
