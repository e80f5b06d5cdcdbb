// Player on file: and null devices: exact 16-bit output in real time, reports on the loop
// thread, the end of a finished source, unpadded short blocks, refusals, a quick Stop with
// eight blocks queued and nothing left behind.
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

TEST(Player, WritesExactlyTheSourcesSamplesInRealTime) {
  TempDir dir;
  const std::string out = dir.file("speaker.wav");
  platform::PlainMessageLoop loop;
  Player player(loop);
  PlayEvents events;
  player.SetListener(&events, 5);
  player.SetDevice("file:" + out);
  const auto samples = ramp(2 * 4000);  // 0.5 s of stereo at 8000 Hz
  SourceRef src(new MemorySource(8000, 2, samples));
  const auto t0 = Clock::now();
  ASSERT_EQ(player.Start(src), 1);
  ASSERT_TRUE(pumpUntil(
      loop, [&] { return !player.playing(); }, 3000));
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(495));  // not faster than real time
  platform::WavInfo info;
  const auto written = readWav(out, &info);
  EXPECT_EQ(info.rate, 8000u);
  EXPECT_EQ(info.channels, 2);
  ASSERT_EQ(written.size(), samples.size());
  for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(written[i] * 16, samples[i]) << i;
  EXPECT_FALSE(events.offThread);
  ASSERT_EQ(events.seen.size(), 2u);
  EXPECT_EQ(events.seen[1], "stopped");
  ASSERT_GE(events.positions.size(), 6u);  // start, five blocks, the end
  EXPECT_TRUE(std::is_sorted(events.positions.begin(), events.positions.end()));
  EXPECT_EQ(events.positions.back(), 500u);
  EXPECT_GE(events.levelReports, 4);  // the last block's report gives way to the end
  EXPECT_GT(events.lastLevel, -30);
}

TEST(Player, ShortBlocksAreNotPaddedAndLiveSourcesWait) {
  TempDir dir;
  const std::string out = dir.file("speaker.wav");
  platform::PlainMessageLoop loop;
  Player player(loop);
  player.SetDevice("file:" + out);
  auto* live = new LiveSource(8000, 1);
  SourceRef src(live);
  live->push({16, 32, 48});
  ASSERT_EQ(player.Start(src), 1);
  ASSERT_TRUE(pumpUntil(
      loop, [&] { return readWav(out).size() == 3; }, 2000));
  ASSERT_TRUE(pumpUntil(
      loop, [&] { return live->waits() >= 2; }, 2000));
  EXPECT_TRUE(player.playing());
  EXPECT_EQ(readWav(out), (std::vector<int16_t>{1, 2, 3}));
  live->push(std::vector<int32_t>(800, 160));
  live->finish();
  ASSERT_TRUE(pumpUntil(
      loop, [&] { return !player.playing(); }, 3000));
  EXPECT_EQ(readWav(out).size(), 803u);
}

TEST(Player, SourcesAboveRangeAreLimited) {
  TempDir dir;
  const std::string out = dir.file("speaker.wav");
  platform::PlainMessageLoop loop;
  Player player(loop);
  player.SetDevice("file:" + out);
  std::vector<int32_t> loud(1600);
  for (size_t i = 0; i < loud.size(); ++i) loud[i] = (i % 2 != 0 ? 1 : -1) * 0x100000;
  ASSERT_EQ(player.Start(SourceRef(new MemorySource(8000, 1, loud, 0x100000))), 1);
  ASSERT_TRUE(pumpUntil(
      loop, [&] { return !player.playing(); }, 3000));
  const auto written = readWav(out);
  ASSERT_FALSE(written.empty());
  // Scaled into range by the limiter (about 0.5), not clipped at full scale.
  for (int16_t v : written) {
    ASSERT_LE(std::abs(static_cast<int>(v)), 32766);
    ASSERT_GE(std::abs(static_cast<int>(v)), 32000);
  }
}

TEST(Player, RefusesNullSourcesAndDevicesThatDoNotOpen) {
  platform::PlainMessageLoop loop;
  Player player(loop);
  PlayEvents events;
  player.SetListener(&events, 5);
  player.SetDevice("null");
  EXPECT_EQ(player.Start(SourceRef()), 0);
  player.SetDevice("file:/nonexistent/dir/out.wav");
  EXPECT_EQ(player.Start(SourceRef(new MemorySource(8000, 1, ramp(800)))), 0);
  EXPECT_FALSE(player.playing());
  EXPECT_FALSE(player.hasThread());
  EXPECT_TRUE(events.seen.empty());
}

TEST(Player, StopWithEightBlocksQueuedIsQuickAndLeavesNothing) {
  TempDir dir;
  platform::PlainMessageLoop loop;
  const int fds = openFds();
  const int threads = threadCount();
  {
    Player player(loop);
    player.SetDevice("file:" + dir.file("speaker.wav"));
    ASSERT_EQ(player.Start(SourceRef(new MemorySource(8000, 1, ramp(8000 * 10)))), 1);
    pumpFor(loop, 50);  // the feeder queues all eight blocks at once
    const auto t0 = Clock::now();
    player.Stop();
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1000));
    EXPECT_FALSE(player.hasThread());
    EXPECT_EQ(threadCount(), threads);
    // What had sounded (about 50 ms) is in the file; the queued rest was dropped.
    EXPECT_LT(readWav(dir.file("speaker.wav")).size(), 4000u);
  }
  EXPECT_EQ(openFds(), fds);
}

}  // namespace
}  // namespace quillet::audio
