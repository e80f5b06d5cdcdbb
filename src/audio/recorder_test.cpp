// Recorder on file: devices: format fallback with converters, reports on the loop thread,
// digital gain, failures, clean stop (ALSA devices: tests/audio_devices). Every caller
// streams from the start without a length limit, so the voice switch, the limit and the gate
// are not tested here.
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
  // Starts streaming into a new collecting sink (no length limit, no threshold), which the
  // test keeps alive (the recorder lets go of it at Stop).
  CollectSink* startStreaming(uint32_t rate, uint32_t channels) {
    auto* sink = new CollectSink(rate, channels);
    sink_ = SinkRef(sink);
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

TEST_F(RecorderTest, DigitalGainAndDcRemovalShapeTheBlocks) {
  micFile(8000, 1, std::vector<int16_t>(8000, 3000));  // a constant offset only
  SetRecordVolume(rec_, 20);  // 10 steps: mixer 12 dB (no mixer here), 8 dB digital
  EXPECT_EQ(rec_.digitalGain(), static_cast<uint32_t>(amplitudeFactor(8) / 32768));
  CollectSink* sink = startStreaming(8000, 1);
  ASSERT_TRUE(pumpUntil(
      loop_, [&] { return sink->frames() >= 4000; }, 3000));
  rec_.Stop();
  const auto data = sink->data();
  // The first sample passes with the gain; the offset then decays away.
  EXPECT_EQ(data[0], static_cast<int32_t>((3000LL * 16 * rec_.digitalGain()) >> 9));
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
