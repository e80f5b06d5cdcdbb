// SPDX-License-Identifier: Apache-2.0
// Player on file: and null devices: exact 16-bit output in real time, reports on the loop
// thread, the end of a finished source, unpadded short blocks, refusals, a quick Stop with
// eight blocks queued and nothing left behind, and the short device queue of a call, which
// live playback keeps at 30 ms.
#include "audio/player.h"

#include <gtest/gtest.h>

#include <thread>

#include "audio/recorder_test_util.h"

namespace quillet::audio {
namespace {

using namespace quillet::audio::testing;
using Clock = std::chrono::steady_clock;

struct PlayEvents : PlayerListener {
  std::vector<std::string> seen;
  std::vector<uint32_t> positions;
  int levelReports = 0;
  LevelDb lastLevel = kSilenceDb;
  bool offThread = false;
  std::thread::id loopThread = std::this_thread::get_id();
  void check() {
    if (std::this_thread::get_id() != loopThread) offThread = true;
  }
  void OnStarted(uint32_t) override { check(), seen.push_back("started"); }
  void OnStopped(uint32_t) override { check(), seen.push_back("stopped"); }
  void OnPosition(const uint32_t* ms, uint32_t) override { check(), positions.push_back(*ms); }
  void OnLevels(const LevelReport* levels, uint32_t) override {
    check();
    ++levelReports;
    lastLevel = levels->levels[0];
  }
};

std::vector<int32_t> ramp(uint32_t samples) {
  std::vector<int32_t> s(samples);
  for (uint32_t i = 0; i < samples; ++i) s[i] = static_cast<int32_t>((i % 2000) * 16 - 16000);
  return s;
}

// A player on the test's loop writing the file out_.
class PlayerTest : public ::testing::Test {
 protected:
  PlayerTest() {
    player_.SetDevice("file:" + out_);
    player_.SetListener(&events_, 5);
  }

  TempDir dir_;
  const std::string out_ = dir_.file("speaker.wav");
  platform::PlainMessageLoop loop_;
  Player player_{loop_};
  PlayEvents events_;
};

TEST_F(PlayerTest, WritesExactlyTheSourcesSamplesInRealTime) {
  const auto samples = ramp(2 * 4000);  // 0.5 s of stereo at 8000 Hz
  SourceRef src(new MemorySource(8000, 2, samples));
  const auto t0 = Clock::now();
  ASSERT_EQ(player_.Start(src), 1);
  ASSERT_TRUE(pumpUntil(
      loop_, [&] { return !player_.playing(); }, 3000));
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(495));  // not faster than real time
  platform::WavInfo info;
  const auto written = readWav(out_, &info);
  EXPECT_EQ(info.rate, 8000u);
  EXPECT_EQ(info.channels, 2);
  ASSERT_EQ(written.size(), samples.size());
  for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(written[i] * 16, samples[i]) << i;
  EXPECT_FALSE(events_.offThread);
  ASSERT_EQ(events_.seen.size(), 2u);
  EXPECT_EQ(events_.seen[1], "stopped");
  ASSERT_GE(events_.positions.size(), 6u);  // start, five blocks, the end
  EXPECT_TRUE(std::is_sorted(events_.positions.begin(), events_.positions.end()));
  EXPECT_EQ(events_.positions.back(), 500u);
  EXPECT_GE(events_.levelReports, 4);  // the last block's report gives way to the end
  EXPECT_GT(events_.lastLevel, -30);
}

// A file device has no stream volume of its own: the Player's volume scales the samples, and
// a change reaches the stream that plays.
TEST_F(PlayerTest, StreamVolumeScalesTheSamplesAndAChangeReachesThePlayingStream) {
  auto* live = new LiveSource(8000, 1);
  SourceRef src(live);
  player_.setStreamVolume(0.5f);
  live->push(std::vector<int32_t>(800, 1600));  // 100 in 16-bit samples
  ASSERT_EQ(player_.Start(src), 1);
  ASSERT_TRUE(pumpUntil(
      loop_, [&] { return readWav(out_).size() == 800; }, 2000));
  player_.setStreamVolume(4.0f);
  live->push(std::vector<int32_t>(800, -160000));  // -10000: -40000 is clipped
  live->push(std::vector<int32_t>(800, 1600));
  live->finish();
  ASSERT_TRUE(pumpUntil(
      loop_, [&] { return !player_.playing(); }, 3000));
  const auto written = readWav(out_);
  ASSERT_EQ(written.size(), 2400u);
  EXPECT_EQ(written[0], 50);
  EXPECT_EQ(written[799], 50);
  EXPECT_EQ(written[800], -32768);
  EXPECT_EQ(written[1600], 400);
  EXPECT_EQ(written[2399], 400);
}

TEST_F(PlayerTest, ShortBlocksAreNotPaddedAndLiveSourcesWait) {
  auto* live = new LiveSource(8000, 1);
  SourceRef src(live);
  live->push({16, 32, 48});
  ASSERT_EQ(player_.Start(src), 1);
  ASSERT_TRUE(pumpUntil(
      loop_, [&] { return readWav(out_).size() == 3; }, 2000));
  ASSERT_TRUE(pumpUntil(
      loop_, [&] { return live->waits() >= 2; }, 2000));
  EXPECT_TRUE(player_.playing());
  EXPECT_EQ(readWav(out_), (std::vector<int16_t>{1, 2, 3}));
  live->push(std::vector<int32_t>(800, 160));
  live->finish();
  ASSERT_TRUE(pumpUntil(
      loop_, [&] { return !player_.playing(); }, 3000));
  EXPECT_EQ(readWav(out_).size(), 803u);
}

TEST_F(PlayerTest, SourcesAboveRangeAreLimited) {
  std::vector<int32_t> loud(1600);
  for (size_t i = 0; i < loud.size(); ++i) loud[i] = (i % 2 != 0 ? 1 : -1) * 0x100000;
  ASSERT_EQ(player_.Start(SourceRef(new MemorySource(8000, 1, loud, 0x100000))), 1);
  ASSERT_TRUE(pumpUntil(
      loop_, [&] { return !player_.playing(); }, 3000));
  const auto written = readWav(out_);
  ASSERT_FALSE(written.empty());
  // Scaled into range by the limiter (about 0.5), not clipped at full scale.
  for (int16_t v : written) {
    ASSERT_LE(std::abs(static_cast<int>(v)), 32766);
    ASSERT_GE(std::abs(static_cast<int>(v)), 32000);
  }
}

TEST_F(PlayerTest, RefusesNullSourcesAndDevicesThatDoNotOpen) {
  player_.SetDevice("null");
  EXPECT_EQ(player_.Start(SourceRef()), 0);
  player_.SetDevice("file:/nonexistent/dir/out.wav");
  EXPECT_EQ(player_.Start(SourceRef(new MemorySource(8000, 1, ramp(800)))), 0);
  EXPECT_FALSE(player_.playing());
  EXPECT_FALSE(player_.hasThread());
  EXPECT_TRUE(events_.seen.empty());
}

TEST_F(PlayerTest, StopWithEightBlocksQueuedIsQuickAndLeavesNothing) {
  const int fds = openFds();
  const int threads = threadCount();
  {
    Player player(loop_);
    player.SetDevice("file:" + out_);
    ASSERT_EQ(player.Start(SourceRef(new MemorySource(8000, 1, ramp(8000 * 10)))), 1);
    pumpFor(loop_, 50);  // the feeder queues all eight blocks at once
    const auto t0 = Clock::now();
    player.Stop();
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1000));
    EXPECT_FALSE(player.hasThread());
    EXPECT_EQ(threadCount(), threads);
    // What had sounded (about 50 ms) is in the file; the queued rest was dropped.
    EXPECT_LT(readWav(out_).size(), 4000u);
  }
  EXPECT_EQ(openFds(), fds);
}

TEST_F(PlayerTest, CallBlocksKeepTheDeviceQueueShort) {
  // With a source that has seconds ready, the feeder fills the whole device queue at once:
  // what it took from the source is the queue (plus what has sounded meanwhile).
  struct Case {
    uint32_t blockMs, blocks, leastTaken, mostTaken;
  };
  for (const Case c : {Case{20, 4, 640, 1200}, Case{100, 8, 6400, 7200}}) {
    SCOPED_TRACE(c.blockMs);
    auto* memory = new MemorySource(8000, 1, ramp(8000 * 10));
    SourceRef src(memory);
    player_.SetBlocks(c.blockMs, c.blocks);
    ASSERT_EQ(player_.Start(src), 1);
    EXPECT_EQ(player_.deviceQueueMs(), c.blockMs * c.blocks);
    pumpFor(loop_, 40);
    EXPECT_GE(memory->Position(), c.leastTaken);
    EXPECT_LE(memory->Position(), c.mostTaken);
    player_.Stop();
  }
  // Live, the device holds 30 ms of it (a block more just after one went in; more when the
  // feeder was late on a loaded machine), the rest waits in the source.
  auto* memory = new MemorySource(8000, 1, ramp(8000 * 10));
  SourceRef src(memory);
  player_.SetBlocks(kCallBlockMs, kCallBlocks);
  player_.SetLive(true);
  ASSERT_EQ(player_.Start(src), 1);
  EXPECT_EQ(player_.deviceQueueMs(), kLiveQueueMs);
  for (int i = 0; i < 10; ++i) {
    pumpFor(loop_, 20);
    const uint32_t taken = memory->Position();
    const uint32_t share = player_.deviceQueueMs() * 8;
    EXPECT_LE(taken - player_.playPosition(), share + 320);
    EXPECT_LE(player_.liveQueuedFrames(), share + 160);
  }
  player_.Stop();
  player_.SetLive(false);
}

}  // namespace
}  // namespace quillet::audio
