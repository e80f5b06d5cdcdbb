// SPDX-License-Identifier: Apache-2.0
// File and null devices (pacing, format refusal, mixing down, WAV output), the WAV parser,
// device name resolution with and without PipeWire, the frame ring between a sound server's
// callback and the blocking calls, and the mixer card of a device (the list of devices and the
// mixer controls are tests/audio_devices'; WAV files written and read back are every
// end-to-end profile's speaker and microphone).
#include "platform/audio_device.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "platform/audio_device_internal.h"
#include "platform/audio_device_wav.h"
#include "platform/mixer.h"
#include "platform/test_util.h"

namespace quillet::platform {
namespace {

using Clock = std::chrono::steady_clock;
using testing::StopFd;
using testing::TempDir;

bool parseBytes(const std::string& bytes, WavInfo& info) {
  std::string error;
  auto readAt = [&](uint64_t off, void* buf, size_t n) -> size_t {
    if (off >= bytes.size()) return 0;
    n = std::min<size_t>(n, bytes.size() - off);
    std::memcpy(buf, bytes.data() + off, n);
    return n;
  };
  return parseWavHeader(readAt, bytes.size(), info, error);
}

// A stereo WAV whose left channel holds 2n and right channel 2n + 100 at frame n.
std::string writeStereo(const TempDir& dir, uint32_t rate, uint32_t frames) {
  const std::string path = dir.file("in.wav");
  WavFileWriter w;
  std::string error;
  EXPECT_TRUE(w.create(path, rate, 2, error)) << error;
  std::vector<int16_t> s(frames * 2);
  for (uint32_t n = 0; n < frames; ++n) {
    s[2 * n] = static_cast<int16_t>(2 * n);
    s[2 * n + 1] = static_cast<int16_t>(2 * n + 100);
  }
  EXPECT_TRUE(w.write(s.data(), frames));
  return path;
}

TEST(WavFile, ConvertsOtherSampleFormatsTo16Bit) {
  const float f[] = {0.5f, -4.0f};  // the second is clipped, not wrapped
  const struct {
    uint16_t bits, encoding;
    std::string bytes;
    int16_t first, second;
  } cases[] = {{8, 1, std::string("\0\xFF", 2), -32768, 127 * 256},
               {24, 1, std::string("\x11\x34\x12\0\0\x80", 6), 0x1234, -32768},
               {32, 3, std::string(reinterpret_cast<const char*>(f), 8), 16384, -32768}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bits);
    WavInfo info;
    info.channels = 1;
    info.bitsPerSample = c.bits;
    info.encoding = c.encoding;
    int16_t out[2];
    wavFramesToInt16(info, reinterpret_cast<const uint8_t*>(c.bytes.data()), 2, out);
    EXPECT_EQ(out[0], c.first);
    EXPECT_EQ(out[1], c.second);
  }
}

TEST(WavFile, RejectsBrokenHeadersAndCutsOversizedData) {
  const std::string good(
      "RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x40\x1F\0\0\0\0\0\0\x04\0\x10\0"
      "data\xFF\xFF\xFF\x7F\x01\x02\x03\x04\x05",
      49);
  WavInfo info;
  ASSERT_TRUE(parseBytes(good, info));
  EXPECT_EQ(info.dataBytes, 4u);  // claims 2 GiB, holds one whole frame
  // Block align not 2 × 16 bit, no channels, ADPCM, data before fmt.
  const std::pair<size_t, std::string> breaks[] = {
      {32, "\x03"}, {22, std::string(1, '\0')}, {20, "\x02"}, {12, "data"}};
  for (const auto& [at, bytes] : breaks) {
    std::string bad = good;
    bad.replace(at, bytes.size(), bytes);
    EXPECT_FALSE(parseBytes(bad, info)) << at;
  }
  EXPECT_FALSE(parseBytes(good.substr(0, 30), info));
}

// Opened at the file's rate with its channels or fewer (here mixed down to one), the file
// is delivered in real time, then silence; a stop ends a wait at once.
TEST(FileCapture, DeliversTheFileInRealTimeThenSilenceAndStopsAtOnce) {
  TempDir dir;
  const std::string path = writeStereo(dir, 8000, 800);
  auto dev = makeCaptureDevice("file:" + path);
  EXPECT_EQ(dev->open(16000, 1, 320, 50), AudioOpen::BadFormat);
  EXPECT_EQ(dev->open(8000, 3, 160, 50), AudioOpen::BadFormat);
  ASSERT_EQ(dev->open(8000, 1, 160, 50), AudioOpen::Ok);
  ASSERT_TRUE(dev->start());
  StopFd stop;
  std::vector<int16_t> block(160);
  const auto t0 = Clock::now();
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(dev->readBlock(block.data(), stop.fd(), 1000), AudioWait::Ready);
    for (int n = 0; n < 160; ++n) ASSERT_EQ(block[n], 2 * (160 * i + n) + 50) << n;  // (L + R) / 2
  }
  // 5 blocks of 20 ms cannot be ready before 100 ms have passed.
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(98));
  ASSERT_EQ(dev->readBlock(block.data(), stop.fd(), 1000), AudioWait::Ready);
  EXPECT_EQ(block, std::vector<int16_t>(160, 0));
  stop.set();
  EXPECT_EQ(dev->readBlock(block.data(), stop.fd(), -1), AudioWait::Stopped);
  usleep(10000);
  const uint32_t rest = dev->stopAndDrain(block.data());
  EXPECT_GT(rest, 0u);
  EXPECT_LT(rest, 160u);
}

TEST(FileCapture, MissingOrBrokenFileFailsToOpen) {
  TempDir dir;
  EXPECT_EQ(makeCaptureDevice("file:" + dir.file("none.wav"))->open(8000, 1, 160, 50),
            AudioOpen::Failed);
  testing::writeFile(dir.file("junk.wav"), "not a wave file at all");
  auto dev = makeCaptureDevice("file:" + dir.file("junk.wav"));
  EXPECT_EQ(dev->open(8000, 1, 160, 50), AudioOpen::Failed);
  EXPECT_FALSE(dev->lastError().empty());
  EXPECT_EQ(makeCaptureDevice("file:")->open(8000, 1, 160, 50), AudioOpen::Failed);
}

TEST(FilePlayback, RetiresBlocksInRealTimeAndWritesEverySample) {
  TempDir dir;
  const std::string path = dir.file("out.wav");
  auto dev = makePlaybackDevice("file:" + path);
  ASSERT_EQ(dev->open(8000, 1, 800, 3), AudioOpen::Ok);
  std::vector<int16_t> block(800);
  for (int i = 0; i < 800; ++i) block[i] = static_cast<int16_t>(i);
  StopFd stop;
  const auto t0 = Clock::now();
  ASSERT_TRUE(dev->write(block.data(), 800));
  ASSERT_TRUE(dev->write(block.data(), 3));
  ASSERT_TRUE(dev->write(block.data(), 800));
  EXPECT_FALSE(dev->write(block.data(), 800));  // three queued: full
  EXPECT_EQ(dev->completedBlocks(), 0u);
  ASSERT_EQ(dev->waitCompletion(0, stop.fd(), 1000), AudioWait::Ready);
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(99));
  WavInfo info;
  ASSERT_TRUE(parseBytes(testing::readFile(path), info));  // valid while the device writes
  EXPECT_GE(info.dataBytes, 1600u);
  ASSERT_EQ(dev->waitCompletion(2, stop.fd(), 1000), AudioWait::Ready);
  EXPECT_EQ(dev->completedBlocks(), 3u);
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(199));
  EXPECT_EQ(dev->waitCompletion(3, stop.fd(), 20), AudioWait::TimedOut);
  dev->close();
  // Every sample, the short block's too (what the speaker heard is compared sample by
  // sample in the end-to-end runs).
  ASSERT_TRUE(parseBytes(testing::readFile(path), info));
  EXPECT_EQ(info.dataBytes, 1603u * 2);
}

TEST(FilePlayback, ResetDropsQueuedBlocksAndWakesTheWaiter) {
  auto dev = makePlaybackDevice("null");
  ASSERT_EQ(dev->open(8000, 2, 800, 8), AudioOpen::Ok);
  std::vector<int16_t> block(1600);
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(dev->write(block.data(), 800));
  StopFd stop;
  EXPECT_EQ(dev->waitCompletion(0, stop.fd(), 10), AudioWait::TimedOut);
  dev->reset();
  EXPECT_EQ(dev->completedBlocks(), 8u);
  ASSERT_TRUE(dev->write(block.data(), 800));
  stop.set();
  EXPECT_EQ(dev->waitCompletion(8, stop.fd(), -1), AudioWait::Stopped);
}

TEST(NullDevices, AcceptAnyFormatAndCaptureSilence) {
  auto in = makeCaptureDevice("null");
  EXPECT_EQ(in->open(0, 1, 160, 50), AudioOpen::BadFormat);
  ASSERT_EQ(in->open(48000, 6, 960, 50), AudioOpen::Ok);
  ASSERT_TRUE(in->start());
  StopFd stop;
  std::vector<int16_t> block(960 * 6, 7);
  ASSERT_EQ(in->readBlock(block.data(), stop.fd(), 1000), AudioWait::Ready);
  EXPECT_EQ(block, std::vector<int16_t>(960 * 6, 0));
  EXPECT_EQ(makePlaybackDevice("null")->open(44100, 300, 4410, 8), AudioOpen::BadFormat);
}

// Sets an environment variable for a test's length (unset when value is null).
class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~EnvVar() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

TEST(DeviceNames, ResolveToTheirDevices) {
  const EnvVar alsaOnly("QUILLET_PIPEWIRE", "0");
  EXPECT_EQ(resolveAudioDevice("", true).target, "default");
  EXPECT_EQ(resolveAudioDevice(kDefaultSoundIn, true).target, "default");
  EXPECT_EQ(resolveAudioDevice(kDefaultSoundOut, false).target, "default");
  EXPECT_EQ(resolveAudioDevice("file:/a b/c.wav", true).kind, AudioDeviceSpec::Kind::File);
  EXPECT_EQ(resolveAudioDevice("file:/a b/c.wav", true).target, "/a b/c.wav");
  EXPECT_EQ(resolveAudioDevice("null", false).kind, AudioDeviceSpec::Kind::Null);
  EXPECT_EQ(resolveAudioDevice("hw:3,0", false).target, "hw:3,0");
  // A device that is no longer there (a stored description, a headset unplugged) plays and
  // records through the default device instead of staying silent.
  EXPECT_EQ(resolveAudioDevice("USB Headset, USB Audio", false).kind, AudioDeviceSpec::Kind::Alsa);
  EXPECT_EQ(resolveAudioDevice("USB Headset, USB Audio", false).target, "default");
  EXPECT_EQ(resolveAudioDevice("no_such_pcm:1", true).target, "default");
}

TEST(DeviceNames, PipeWireNamesAndTheDefaultWithoutADaemon) {
  const TempDir dir;  // a runtime folder where no PipeWire daemon listens
  const EnvVar runtime("XDG_RUNTIME_DIR", dir.path().c_str());
  const EnvVar pwRuntime("PIPEWIRE_RUNTIME_DIR", dir.path().c_str());
  const EnvVar remote("PIPEWIRE_REMOTE", nullptr);
  const EnvVar enabled("QUILLET_PIPEWIRE", nullptr);
  if (!pipeWireEnabled()) GTEST_SKIP() << "built without PipeWire";
  // Asked for by name, PipeWire's devices are PipeWire's, a daemon or not (the device's
  // open tells that none answers).
  AudioDeviceSpec d = resolveAudioDevice("pipewire", false);
  EXPECT_EQ(d.kind, AudioDeviceSpec::Kind::PipeWire);
  EXPECT_EQ(d.target, "");
  d = resolveAudioDevice("pipewire:alsa_output.usb-Jabra:analog-stereo", true);
  EXPECT_EQ(d.kind, AudioDeviceSpec::Kind::PipeWire);
  EXPECT_EQ(d.target, "alsa_output.usb-Jabra:analog-stereo");
  EXPECT_NE(resolveAudioDevice("pipewirex", true).kind, AudioDeviceSpec::Kind::PipeWire);
  // No daemon answers: the default is ALSA's, and so is an unknown name.
  EXPECT_EQ(resolveAudioDevice("", true).kind, AudioDeviceSpec::Kind::Alsa);
  EXPECT_EQ(resolveAudioDevice("", true).target, "default");
  EXPECT_EQ(resolveAudioDevice("Gone Headset", false).target, "default");
  auto capture = makeCaptureDevice("pipewire");
  EXPECT_EQ(capture->open(8000, 1, 160, 4), AudioOpen::Failed);
  EXPECT_FALSE(capture->lastError().empty());
  auto playback = makePlaybackDevice("pipewire:somewhere");
  EXPECT_EQ(playback->open(8000, 1, 160, 4), AudioOpen::Failed);
  EXPECT_FALSE(playback->write(std::vector<int16_t>(160).data(), 160));
  // Turned off, "pipewire" is the ALSA PCM of that name (PipeWire's ALSA plugin).
  const EnvVar off("QUILLET_PIPEWIRE", "0");
  EXPECT_EQ(resolveAudioDevice("pipewire", false).kind, AudioDeviceSpec::Kind::Alsa);
}

TEST(FrameRing, KeepsFramesInOrderAcrossTheWrapAndTakesOnlyWhatFits) {
  detail::FrameRing ring;
  ring.reset(2, 5);
  const std::vector<int16_t> first{1, -1, 2, -2, 3, -3, 4, -4};
  EXPECT_EQ(ring.write(first.data(), 4), 4u);
  std::vector<int16_t> out(10, 0);
  EXPECT_EQ(ring.read(out.data(), 3), 3u);
  EXPECT_EQ(std::vector<int16_t>(out.begin(), out.begin() + 6),
            std::vector<int16_t>({1, -1, 2, -2, 3, -3}));
  // One frame left; four more fit, the fifth does not.
  const std::vector<int16_t> second{5, -5, 6, -6, 7, -7, 8, -8, 9, -9};
  EXPECT_EQ(ring.write(second.data(), 5), 4u);
  EXPECT_EQ(ring.space(), 0u);
  EXPECT_EQ(ring.read(out.data(), 9), 5u);
  EXPECT_EQ(out, std::vector<int16_t>({4, -4, 5, -5, 6, -6, 7, -7, 8, -8}));
  EXPECT_EQ(ring.read(out.data(), 1), 0u);
  ring.write(first.data(), 2);
  ring.clear();
  EXPECT_EQ(ring.size(), 0u);
  EXPECT_EQ(ring.space(), 5u);
}

// The decibel mapping and devices without controls: the ALSA mixer tests of
// tests/audio_devices, through the test control plugin.
TEST(Mixer, CardOfAPcmName) {
  // The default device and the sound servers' PCMs name no card: their mixer is the
  // desktop's volume, never the program's.
  EXPECT_EQ(mixerCardForPcm("default"), "");
  EXPECT_EQ(mixerCardForPcm("pipewire"), "");
  EXPECT_EQ(mixerCardForPcm("pulse"), "");
  EXPECT_EQ(mixerCardForPcm("plughw:1,0"), "hw:1");
  EXPECT_EQ(mixerCardForPcm("sysdefault:CARD=PCH"), "hw:PCH");
  EXPECT_EQ(mixerCardForPcm("hw:CARD=Loop,DEV=1"), "hw:Loop");
  EXPECT_EQ(mixerCardForPcm("null"), "");
}

}  // namespace
}  // namespace quillet::platform
