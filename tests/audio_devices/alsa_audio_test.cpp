// Recorder and Player on ALSA through the private configuration: the capture fallback to
// the one format the paced test PCM takes, the Player's refusal of other formats, real-time
// playback to the end, and a clean stop.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "audio/player.h"
#include "audio/recorder.h"
#include "audio/recorder_test_util.h"

namespace quillet::audio {
namespace {

using namespace quillet::audio::testing;
using Clock = std::chrono::steady_clock;

class AlsaAudio : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* cfg = std::getenv("ALSA_CONFIG_PATH");
    if (cfg == nullptr || std::string(cfg).find("quillet-test-alsa") == std::string::npos)
      GTEST_SKIP() << "needs the private ALSA configuration (run through ctest)";
  }
};

TEST_F(AlsaAudio, RecorderFallsBackToTheDevicesFormatAndResamples) {
  platform::PlainMessageLoop loop;
  Recorder rec(loop);
  rec.SetDevice("Quillet Paced Test", 0);
  auto* sink = new CollectSink(8000, 1);
  SinkRef ref(sink);
  const int threads = threadCount();
  ASSERT_EQ(rec.Start(ref, 0, kSilenceDb, 216000000, Recorder::kBeginStreaming), 1);
  EXPECT_EQ(rec.openedRate(), 22050u);
  EXPECT_EQ(rec.openedChannels(), 1u);
  const auto t0 = Clock::now();
  ASSERT_TRUE(pumpUntil(
      loop, [&] { return sink->frames() >= 1600; }, 3000));
  // 200 ms of sound at 8000 Hz cannot arrive before 200 ms have passed.
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(190));
  rec.Stop();
  EXPECT_FALSE(rec.hasThread());
  EXPECT_EQ(threadCount(), threads);
}

TEST_F(AlsaAudio, PlayerRefusesOtherFormatsAndPlaysItsOwnInRealTime) {
  platform::PlainMessageLoop loop;
  Player player(loop);
  player.SetDevice("quillet_paced");
  EXPECT_EQ(player.Start(SourceRef(new MemorySource(8000, 1, std::vector<int32_t>(800)))), 0);
  const auto t0 = Clock::now();
  ASSERT_EQ(player.Start(SourceRef(new MemorySource(22050, 1, std::vector<int32_t>(11025, 160)))),
            1);
  ASSERT_TRUE(pumpUntil(
      loop, [&] { return !player.playing(); }, 3000));
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(490));
}

TEST_F(AlsaAudio, PlayerStopsQuicklyWithEightBlocksQueued) {
  platform::PlainMessageLoop loop;
  Player player(loop);
  player.SetDevice("quillet_paced");
  ASSERT_EQ(player.Start(SourceRef(new MemorySource(22050, 1, std::vector<int32_t>(22050 * 5)))),
            1);
  pumpFor(loop, 50);
  const auto t0 = Clock::now();
  player.Stop();
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1000));
  EXPECT_FALSE(player.hasThread());
}

}  // namespace
}  // namespace quillet::audio
