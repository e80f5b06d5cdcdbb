// SPDX-License-Identifier: Apache-2.0
// The WAV reader and writer of quillet-tool: round trip, the chunk layouts real files
// have, and damaged files.
#include "wav_io.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace quillet::tool {
namespace {

std::vector<uint8_t> header(uint16_t format, uint16_t channels, uint32_t rate, uint16_t bits,
                            const std::vector<uint8_t>& extraChunks, uint32_t dataBytes) {
  std::vector<uint8_t> out;
  out.reserve(256);
  auto put = [&out](uint32_t v, int n) {
    for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  auto tag = [&out](const char* t) { out.insert(out.end(), t, t + 4); };
  tag("RIFF");
  put(0, 4);  // patched below
  tag("WAVE");
  tag("fmt ");
  put(16, 4);
  put(format, 2);
  put(channels, 2);
  put(rate, 4);
  put(rate * channels * (bits / 8), 4);
  put(channels * (bits / 8), 2);
  put(bits, 2);
  out.insert(out.end(), extraChunks.begin(), extraChunks.end());
  tag("data");
  put(dataBytes, 4);
  return out;
}

void finish(std::vector<uint8_t>& file) {
  const uint32_t size = static_cast<uint32_t>(file.size() - 8);
  for (int i = 0; i < 4; ++i) file[4 + i] = static_cast<uint8_t>(size >> (8 * i));
}

TEST(WavIo, WritesAndReadsBack) {
  char path[] = "/tmp/quillet-wav-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::vector<int16_t> samples = {0, 1, -1, 32767, -32768, 1234};
  std::string error;
  ASSERT_TRUE(writeWav(path, 8000, 2, samples, error)) << error;
  WavFile wav;
  ASSERT_EQ(readWav(path, wav, error), WavStatus::kOk) << error;
  EXPECT_EQ(wav.formatTag, kWavFormatPcm);
  EXPECT_EQ(wav.channels, 2);
  EXPECT_EQ(wav.sampleRate, 8000u);
  EXPECT_EQ(wav.bitsPerSample, 16);
  EXPECT_EQ(wav.samples, samples);
  unlink(path);
  EXPECT_EQ(readWav(path, wav, error), WavStatus::kIoError);
  EXPECT_NE(error.find("cannot open"), std::string::npos);
}

TEST(WavIo, SkipsOtherChunksIncludingTheirPadByte) {
  const std::vector<uint8_t> list = {'L', 'I', 'S', 'T', 3, 0, 0, 0, 'a', 'b', 'c', 0};
  std::vector<uint8_t> file = header(1, 1, 8000, 16, list, 4);
  file.insert(file.end(), {0x01, 0x00, 0xFF, 0xFF});
  finish(file);
  WavFile wav;
  std::string error;
  ASSERT_EQ(parseWav(file.data(), file.size(), wav, error), WavStatus::kOk) << error;
  EXPECT_EQ(wav.samples, (std::vector<int16_t>{1, -1}));
}

TEST(WavIo, OtherFormatsAreDescribedNotRead) {
  std::vector<uint8_t> file = header(1, 2, 44100, 8, {}, 4);
  file.insert(file.end(), 4, 0x80);
  finish(file);
  WavFile wav;
  std::string error;
  EXPECT_EQ(parseWav(file.data(), file.size(), wav, error), WavStatus::kUnsupported);
  EXPECT_EQ(describeWavFormat(wav), "44100 Hz stereo 8-bit PCM");
  EXPECT_TRUE(wav.samples.empty());
}

TEST(WavIo, DamagedFilesAreRefused) {
  std::vector<uint8_t> good = header(1, 1, 8000, 16, {}, 4);
  good.insert(good.end(), 4, 0);
  finish(good);
  WavFile wav;
  std::string error;
  ASSERT_EQ(parseWav(good.data(), good.size(), wav, error), WavStatus::kOk);

  std::vector<uint8_t> cut(good.begin(), good.end() - 2);  // RIFF size now too big
  EXPECT_EQ(parseWav(cut.data(), cut.size(), wav, error), WavStatus::kMalformed);

  std::vector<uint8_t> longData = good;
  longData[40] = 100;  // data chunk claims more than the file holds
  EXPECT_EQ(parseWav(longData.data(), longData.size(), wav, error), WavStatus::kMalformed);

  std::vector<uint8_t> oddData = good;
  oddData[40] = 3;  // not a whole number of 16-bit samples
  EXPECT_EQ(parseWav(oddData.data(), oddData.size(), wav, error), WavStatus::kMalformed);

  std::vector<uint8_t> noChannels = good;
  noChannels[22] = 0;
  EXPECT_EQ(parseWav(noChannels.data(), noChannels.size(), wav, error), WavStatus::kMalformed);

  std::vector<uint8_t> notWave = good;
  std::memcpy(notWave.data() + 8, "AVI ", 4);
  EXPECT_EQ(parseWav(notWave.data(), notWave.size(), wav, error), WavStatus::kMalformed);

  EXPECT_EQ(parseWav(good.data(), 11, wav, error), WavStatus::kMalformed);
  EXPECT_EQ(parseWav(good.data(), 0, wav, error), WavStatus::kMalformed);
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace quillet::tool
