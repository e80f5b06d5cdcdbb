// SPDX-License-Identifier: Apache-2.0
// The ALSA device code run against a private ALSA configuration: a paced test PCM that
// takes only 22050 Hz mono, a PCM of ALSA's file plugin, and PCM names that do not exist.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/audio_device.h"
#include "platform/mixer.h"
#include "platform/test_util.h"

namespace quillet::platform {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int openFds() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

using testing::StopFd;

using AlsaDevices = testing::TestAlsaConfig;

TEST_F(AlsaDevices, OpenTellsARefusedFormatFromAMissingDevice) {
  auto in = makeCaptureDevice("quillet_paced");
  EXPECT_EQ(in->open(8000, 1, 160, 50), AudioOpen::BadFormat);
  EXPECT_EQ(in->open(22050, 2, 441, 50), AudioOpen::BadFormat);
  EXPECT_EQ(in->open(22050, 1, 441, 50), AudioOpen::Ok);
  in->close();
  auto out = makePlaybackDevice("quillet_paced");
  EXPECT_EQ(out->open(8000, 1, 800, 8), AudioOpen::BadFormat);
  EXPECT_EQ(out->open(22050, 1, 2205, 8), AudioOpen::Ok);
}

TEST_F(AlsaDevices, CaptureDeliversWholeBlocksInRealTime) {
  auto in = makeCaptureDevice("quillet_paced");
  ASSERT_EQ(in->open(22050, 1, 441, 50), AudioOpen::Ok);
  ASSERT_TRUE(in->start());
  StopFd stop;
  std::vector<int16_t> block(441);
  const auto t0 = Clock::now();
  int expect = 0;
  for (int b = 0; b < 10; ++b) {
    ASSERT_EQ(in->readBlock(block.data(), stop.fd(), 1000), AudioWait::Ready);
    for (int i = 0; i < 441; ++i, ++expect) ASSERT_EQ(block[i], expect) << b << "/" << i;
  }
  // Ten 20 ms blocks are not all recorded before 200 ms.
  EXPECT_GE(Clock::now() - t0, milliseconds(195));
  stop.set();
  EXPECT_EQ(in->readBlock(block.data(), stop.fd(), -1), AudioWait::Stopped);
  EXPECT_LT(in->stopAndDrain(block.data()), 441u);
}

TEST_F(AlsaDevices, PlaybackRetiresBlocksAsTheySound) {
  auto out = makePlaybackDevice("quillet_paced");
  ASSERT_EQ(out->open(22050, 1, 2205, 8), AudioOpen::Ok);
  std::vector<int16_t> block(2205, 1000);
  StopFd stop;
  const auto t0 = Clock::now();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(out->write(block.data(), 2205));
  ASSERT_EQ(out->waitCompletion(0, stop.fd(), 2000), AudioWait::Ready);
  EXPECT_GE(Clock::now() - t0, milliseconds(95));
  ASSERT_EQ(out->waitCompletion(2, stop.fd(), 2000), AudioWait::Ready);
  EXPECT_GE(Clock::now() - t0, milliseconds(295));
  EXPECT_EQ(out->completedBlocks(), 3u);
  // A full queue is dropped at once by reset.
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(out->write(block.data(), 2205));
  EXPECT_FALSE(out->write(block.data(), 2205));
  const auto r0 = Clock::now();
  out->reset();
  EXPECT_EQ(out->completedBlocks(), 11u);
  EXPECT_LT(Clock::now() - r0, milliseconds(1000));
  stop.set();
  EXPECT_EQ(out->waitCompletion(11, stop.fd(), -1), AudioWait::Stopped);
}

// CPU time of the calling thread, in seconds.
double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The paced PCM's descriptor stays readable until the PCM itself is asked what it means
// (as ALSA plugins may do): waiting threads must still sleep.
TEST_F(AlsaDevices, WaitingForThePluginsDescriptorSleeps) {
  auto in = makeCaptureDevice("quillet_paced");
  ASSERT_EQ(in->open(22050, 1, 441, 50), AudioOpen::Ok);
  ASSERT_TRUE(in->start());
  StopFd stop;
  std::vector<int16_t> block(2205);
  const double c0 = threadCpuSeconds();
  for (int b = 0; b < 25; ++b)
    ASSERT_EQ(in->readBlock(block.data(), stop.fd(), 1000), AudioWait::Ready);
  in->close();
  auto out = makePlaybackDevice("quillet_paced");
  ASSERT_EQ(out->open(22050, 1, 2205, 8), AudioOpen::Ok);
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(out->write(block.data(), 2205));
    ASSERT_EQ(out->waitCompletion(static_cast<uint64_t>(i), stop.fd(), 2000), AudioWait::Ready);
  }
  // 1 s of waiting in all; a thread spinning on the descriptor burns nearly all of it.
  EXPECT_LT(threadCpuSeconds() - c0, 0.15);
}

// A sound server keeps its PCM running after the buffer drained and reports a delay that
// never reaches 0: the last block is still known to be done once it has sounded.
TEST_F(AlsaDevices, PlaybackEndsThoughTheServerNeverReportsDelayZero) {
  auto out = makePlaybackDevice("quillet_server");
  ASSERT_EQ(out->open(22050, 1, 2205, 8), AudioOpen::Ok);
  std::vector<int16_t> block(2205, 1000);
  StopFd stop;
  const auto t0 = Clock::now();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(out->write(block.data(), 2205));
  ASSERT_EQ(out->waitCompletion(2, stop.fd(), 3000), AudioWait::Ready);
  EXPECT_GE(Clock::now() - t0, milliseconds(295));
  EXPECT_LT(Clock::now() - t0, milliseconds(450));
}

TEST_F(AlsaDevices, FilePluginCapturesItsInputFile) {
  const std::string dir = std::getenv("QUILLET_ALSA_DIR");
  std::vector<int16_t> samples(1600);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i * 7 - 3000);
  std::ofstream(dir + "/alsa_in.raw", std::ios::binary)
      .write(reinterpret_cast<const char*>(samples.data()), samples.size() * 2);
  auto in = makeCaptureDevice("quillet_file");
  ASSERT_EQ(in->open(8000, 1, 160, 50), AudioOpen::Ok);
  ASSERT_TRUE(in->start());
  StopFd stop;
  std::vector<int16_t> block(160);
  for (int b = 0; b < 5; ++b) {
    ASSERT_EQ(in->readBlock(block.data(), stop.fd(), 1000), AudioWait::Ready);
    ASSERT_EQ(std::vector<int16_t>(samples.begin() + b * 160, samples.begin() + (b + 1) * 160),
              block);
  }
  in->close();
  auto out = makePlaybackDevice("quillet_file");
  ASSERT_EQ(out->open(8000, 1, 800, 8), AudioOpen::Ok);
  ASSERT_TRUE(out->write(samples.data(), 800));
  ASSERT_EQ(out->waitCompletion(0, stop.fd(), 2000), AudioWait::Ready);
  out->close();
  std::ifstream written(dir + "/alsa_out.raw", std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(written)), {});
  ASSERT_GE(bytes.size(), 1600u);
  EXPECT_EQ(0, std::memcmp(bytes.data(), samples.data(), 1600));
}

TEST_F(AlsaDevices, ListShowsDescriptionsThatResolveToTheirPcm) {
  const auto names = audioDeviceNames(true);
  ASSERT_GE(names.size(), 2u);
  EXPECT_EQ(names[0], kDefaultSoundIn);
  EXPECT_NE(std::find(names.begin(), names.end(), "Quillet Paced Test"), names.end());
  EXPECT_EQ(resolveAudioDevice("Quillet Paced Test", true).target, "quillet_paced");
  EXPECT_EQ(makeCaptureDevice("Quillet Paced Test")->open(22050, 1, 441, 50), AudioOpen::Ok);
}

TEST_F(AlsaDevices, MixerFunctionsTolerateADeviceWithoutControls) {
  EXPECT_EQ(Mixer::openForDevice("quillet_paced", true), nullptr);
  EXPECT_EQ(Mixer::openForDevice("Quillet Paced Test", false), nullptr);
}

TEST_F(AlsaDevices, OpenAndCloseLeaveNoDescriptorBehind) {
  {  // ALSA keeps its configuration cached after the first use; warm it up.
    auto in = makeCaptureDevice("quillet_paced");
    ASSERT_EQ(in->open(22050, 1, 441, 50), AudioOpen::Ok);
  }
  const int before = openFds();
  for (int i = 0; i < 5; ++i) {
    auto in = makeCaptureDevice("quillet_paced");
    ASSERT_EQ(in->open(22050, 1, 441, 50), AudioOpen::Ok);
    ASSERT_TRUE(in->start());
    auto out = makePlaybackDevice("quillet_paced");
    ASSERT_EQ(out->open(22050, 1, 2205, 8), AudioOpen::Ok);
    std::vector<int16_t> block(2205);
    ASSERT_TRUE(out->write(block.data(), 2205));
  }
  EXPECT_EQ(openFds(), before);
}

}  // namespace
}  // namespace quillet::platform
