// SPDX-License-Identifier: Apache-2.0
// Recorder and Player on ALSA through the private configuration: the capture fallback to
// the one format the paced test PCM takes, the Player's refusal of other formats, real-time
// playback to the end, and a clean stop.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>

#include "audio/player.h"
#include "audio/recorder.h"
#include "audio/recorder_test_util.h"
#include "audio/volume.h"
#include "platform/test_util.h"

namespace quillet::audio {
namespace {

using namespace quillet::audio::testing;
using Clock = std::chrono::steady_clock;

using AlsaAudio = platform::testing::TestAlsaConfig;

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

// Amplitude of the hz component of channel `channel` of interleaved samples.
double toneAmplitude(const std::vector<double>& x, uint32_t channels, uint32_t channel, double hz,
                     double rate) {
  double c = 0, s = 0;
  const size_t n = x.size() / channels;
  for (size_t i = 0; i < n; ++i) {
    c += x[i * channels + channel] * std::cos(2 * M_PI * hz * i / rate);
    s += x[i * channels + channel] * std::sin(2 * M_PI * hz * i / rate);
  }
  return 2 * std::sqrt(c * c + s * s) / static_cast<double>(n);
}

// A plain hardware device that takes only 48000 Hz stereo: the call's 8000 Hz mono audio
// goes through resamplers both ways and keeps its tone and level.
TEST_F(AlsaAudio, HardwareDeviceOfOneRateIsPlayedAndRecordedThroughConverters) {
  const std::string dir = std::getenv("QUILLET_ALSA_DIR");
  const std::vector<int16_t> tone48 = sine(48000, 2, 48000, 1000, 8000);
  {
    std::ofstream in(dir + "/hw48_in.raw", std::ios::binary);
    in.write(reinterpret_cast<const char*>(tone48.data()), tone48.size() * 2);
  }
  platform::PlainMessageLoop loop;
  Recorder rec(loop);
  rec.SetDevice("quillet_hw48", 0);
  auto* sink = new CollectSink(8000, 1);
  SinkRef ref(sink);
  ASSERT_EQ(rec.Start(ref, 0, kSilenceDb, 216000000, Recorder::kBeginStreaming), 1);
  EXPECT_EQ(rec.openedRate(), 48000u);
  EXPECT_EQ(rec.openedChannels(), 2u);
  ASSERT_TRUE(pumpUntil(
      loop, [&] { return sink->frames() >= 4800; }, 3000));
  rec.Stop();
  const std::vector<int32_t> got = sink->data();
  std::vector<double> heard(got.begin() + 800, got.begin() + 4800);
  for (double& v : heard) v /= 16;
  // Within 2 dB: the two-stage 48000-to-8000 Hz resampler droops by about 1.9 dB at 1 kHz.
  EXPECT_NEAR(toneAmplitude(heard, 1, 0, 1000, 8000), 8000, 1700);

  Player player(loop);
  player.SetDevice("quillet_hw48");
  std::vector<int32_t> tone8(4000);
  for (size_t i = 0; i < tone8.size(); ++i)
    tone8[i] = static_cast<int32_t>(std::lround(16 * 8000 * std::sin(2 * M_PI * 1000 * i / 8000)));
  ASSERT_EQ(player.Start(SourceRef(new MemorySource(8000, 1, tone8))), 1);
  ASSERT_TRUE(pumpUntil(
      loop, [&] { return !player.playing(); }, 3000));
  std::ifstream out(dir + "/hw48_out.raw", std::ios::binary);
  std::vector<int16_t> played(24000 * 2);
  out.read(reinterpret_cast<char*>(played.data()), static_cast<std::streamsize>(played.size() * 2));
  ASSERT_EQ(out.gcount(), static_cast<std::streamsize>(played.size() * 2));
  std::vector<double> mid(played.begin() + 4800 * 2, played.begin() + 19200 * 2);
  EXPECT_NEAR(toneAmplitude(mid, 2, 0, 1000, 48000), 8000, 800);
  EXPECT_NEAR(toneAmplitude(mid, 2, 1, 1000, 48000), 8000, 800);
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

namespace quillet::audio {
namespace {

// A PCM that names the test card "hw:Mixed" (see quillet-test-alsa.conf).
constexpr char kCard[] = "quillet_card:CARD=Mixed";

// Reads a control of the test mixer through ALSA's simple mixer.
struct MixerReader {
  snd_mixer_t* m = nullptr;
  explicit MixerReader(const char* card) {
    snd_mixer_open(&m, 0);
    snd_mixer_attach(m, card);
    snd_mixer_selem_register(m, nullptr, nullptr);
    snd_mixer_load(m);
  }
  ~MixerReader() { snd_mixer_close(m); }
  snd_mixer_elem_t* elem(const char* name) {
    snd_mixer_selem_id_t* id;
    snd_mixer_selem_id_alloca(&id);
    snd_mixer_selem_id_set_name(id, name);
    return snd_mixer_find_selem(m, id);
  }
  long playback(const char* name,
                snd_mixer_selem_channel_id_t channel = SND_MIXER_SCHN_FRONT_RIGHT) {
    long v = -1;
    snd_mixer_selem_get_playback_volume(elem(name), channel, &v);
    return v;
  }
  int playbackSwitch(const char* name) {
    int v = -1;
    snd_mixer_selem_get_playback_switch(elem(name), SND_MIXER_SCHN_FRONT_LEFT, &v);
    return v;
  }
  long capture(const char* name) {
    long v = -1;
    snd_mixer_selem_get_capture_volume(elem(name), SND_MIXER_SCHN_FRONT_LEFT, &v);
    return v;
  }
  int captureSwitch(const char* name) {
    int v = -1;
    snd_mixer_selem_get_capture_switch(elem(name), SND_MIXER_SCHN_FRONT_LEFT, &v);
    return v;
  }
};

TEST_F(AlsaAudio, PlayVolumeSpreadsTheDecibelMappingOverEachControlsRange) {
  int level = -40;
  EXPECT_GT(SetPlayVolume(kCard, level, 0), 0);
  {
    MixerReader r("hw:Mixed");
    EXPECT_EQ(r.playback("Master"), 0);  // -36 dB and below: the bottom
    EXPECT_EQ(r.playback("PCM"), 0);
    EXPECT_EQ(r.playbackSwitch("Master"), 1);
  }
  level = 0;
  EXPECT_GT(SetPlayVolume(kCard, level, -10), 0);
  EXPECT_EQ(level, -10);  // the caller's level takes the offset
  MixerReader r("hw:Mixed");
  EXPECT_EQ(r.playback("Master"), 68);  // 51264 of 65535 over 0..87
  EXPECT_EQ(r.playback("PCM"), 144);    // -10 dB: 37024 of 65535 over 0..255
  // The microphone's passthrough to the speaker is no speaker line: low and off as it was.
  EXPECT_EQ(r.playback("Mic", SND_MIXER_SCHN_MONO), 3);
  EXPECT_EQ(r.playbackSwitch("Mic"), 0);
}

// The volume goes to the card's mixer only on a device that names a card; on one that names
// none (as the sound servers' PCMs, whose control device is the desktop's volume) it is the
// stream's own, and no mixer is touched.
TEST_F(AlsaAudio, VolumesGoToTheMixerOnlyOnADeviceThatNamesACard) {
  int level = 0;
  SetPlayVolume(kCard, level, 0);
  SetRecordLevel(kCard, 0, 0);
  Player player;
  player.SetDevice("quillet_desktop");
  SetPlayVolume(player, -10);
  EXPECT_NEAR(player.streamVolume(), 0.316f, 0.001f);
  SetPlayVolume(player, 30);  // no more than the mixer's top: +10 dB
  EXPECT_NEAR(player.streamVolume(), 3.162f, 0.001f);
  SetPlayVolume(player, -36);
  EXPECT_EQ(player.streamVolume(), 0.0f);
  Recorder rec;
  rec.SetDevice("quillet_desktop", 1);  // an input line chosen: still no mixer
  SetRecordVolume(rec, 18);             // 12 dB that a card's mixer would take, 6 dB digital
  EXPECT_NEAR(rec.streamVolume(), 7.94f, 0.02f);
  EXPECT_EQ(rec.digitalGain(), kUnityGain);
  EXPECT_EQ(InputLineCount("quillet_desktop"), 0);
  {
    MixerReader r("quillet_desktop");
    EXPECT_EQ(r.playback("Master"), 68);  // as the card's volume left it
    EXPECT_EQ(r.capture("Capture"), 49);
  }
  player.SetDevice(kCard);
  SetPlayVolume(player, -10);
  EXPECT_EQ(player.streamVolume(), 1.0f);
  EXPECT_EQ(MixerReader("hw:Mixed").playback("Master"), 49);
}

TEST_F(AlsaAudio, RecordLevelSelectsOneLineAndMutesTheOthers) {
  EXPECT_EQ(InputLineCount(kCard), 3);
  int selection = 0;
  const auto lines = InputChannelList(kCard, 2, selection);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], kRecordMixerName);
  EXPECT_EQ(selection, 2);
  const int mic =
      static_cast<int>(std::find(lines.begin(), lines.end(), "Mic") - lines.begin()) - 1;
  ASSERT_GE(mic, 0);
  EXPECT_EQ(InputLineName(kCard, mic), "Mic");
  EXPECT_GT(SetRecordLevel(kCard, mic, 0), 0);
  MixerReader r("hw:Mixed");
  EXPECT_EQ(r.capture("Capture"), 49);  // 51264 of 65535 over 0..63
  EXPECT_EQ(r.captureSwitch("Capture"), 1);
  EXPECT_EQ(r.capture("Mic"), 24);
  EXPECT_EQ(r.captureSwitch("Mic"), 1);
  EXPECT_EQ(r.capture("Line"), 0);
  EXPECT_EQ(r.captureSwitch("Line"), 0);
  EXPECT_EQ(r.captureSwitch("Aux"), 0);
}

TEST_F(AlsaAudio, RecordVolumeLeavesTheMixerAloneWithoutAnInputLine) {
  int level = 0;
  SetPlayVolume(kCard, level, 0);
  SetRecordLevel(kCard, 0, -40);  // everything at the bottom
  Recorder rec;
  rec.SetDevice(kCard, 0);  // channel 0: the mixer's own selection
  SetRecordVolume(rec, 6);
  EXPECT_EQ(MixerReader("hw:Mixed").capture("Capture"), 0);
  rec.SetDevice(kCard, 1);                                    // the first line
  SetRecordVolume(rec, 6);                                    // 3 steps: 6 dB on the mixer
  EXPECT_EQ(MixerReader("hw:Mixed").capture("Capture"), 57);  // 59808 of 65535 over 0..63
  EXPECT_EQ(rec.digitalGain(), kUnityGain);
  EXPECT_EQ(rec.streamVolume(), 1.0f);
}

}  // namespace
}  // namespace quillet::audio
