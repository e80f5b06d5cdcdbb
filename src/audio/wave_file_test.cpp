// SPDX-License-Identifier: Apache-2.0
// The WAVE reader's edge cases, the file sources, the ring sound and the temporary-audio
// clean-up (the key tones' frequencies are checked by spandsp's detector in rtp_interop).
#include "audio/wave_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/test_util.h"

namespace quillet::audio {
namespace {

namespace fs = std::filesystem;

// Builds WAVE files byte by byte.
struct Bytes {
  std::vector<uint8_t> b;
  Bytes& id(const char* s) {
    b.insert(b.end(), s, s + 4);
    return *this;
  }
  Bytes& u16(uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
    return *this;
  }
  Bytes& u32(uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
  Bytes& raw(std::initializer_list<uint8_t> v) {
    b.insert(b.end(), v);
    return *this;
  }
  Bytes& fmt(uint16_t tag, uint16_t ch, uint32_t rate, uint16_t bits, uint32_t size = 16) {
    id("fmt ").u32(size).u16(tag).u16(ch).u32(rate).u32(rate * ch * ((bits + 7) / 8));
    u16(static_cast<uint16_t>(ch * ((bits + 7) / 8))).u16(bits);
    for (uint32_t i = 16; i < size; ++i) b.push_back(0);
    if (size % 2) b.push_back(0);
    return *this;
  }
};

Bytes header() {
  return Bytes().id("RIFF").u32(0).id("WAVE");
}

class WaveFileTest : public ::testing::Test {
 protected:
  std::string write(const Bytes& bytes, const char* name = "t.wav") {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.b.data()),
               static_cast<std::streamsize>(bytes.b.size()));
    return path;
  }
  SourceRef open(const Bytes& bytes) { return OpenWaveFile(write(bytes)); }
  platform::testing::TempDir tmp_;
  const fs::path dir_ = tmp_.path();
};

// 16-bit samples come in times 16, 8-bit ones centred times 4096; odd and foreign chunks
// (also in front of the RIFF header) are skipped, short and extended fmt chunks taken; a
// frame past the data reads as zeros, also in a file shorter than its header says.
TEST_F(WaveFileTest, ReadsSamplesPastOddChunksAndZerosBeyondTheData) {
  Bytes oddChunks = header();
  oddChunks.id("LIST").u32(3).raw({'a', 'b', 'c', 0});  // odd size, pad byte
  oddChunks.fmt(1, 1, 8000, 16).id("fact").u32(1).raw({9, 0}).id("data").u32(2).u16(100);
  Bytes junkFirst;
  junkFirst.id("JUNK").u32(6).raw({1, 2, 3, 4, 5, 6}).id("RIFF").u32(0).id("WAVE");
  junkFirst.fmt(1, 1, 8000, 16).id("data").u32(2).u16(100);
  struct Case {
    Bytes file;
    uint32_t rate, channels, length;
    std::vector<int32_t> samples;  // of one frame more than the length
  };
  const Case cases[] = {
      {header().fmt(1, 2, 8000, 16).id("data").u32(8).u16(1).u16(0xFFFF).u16(0x7FFF).u16(0x8000),
       8000,
       2,
       2,
       {16, -16, 524272, -524288, 0, 0}},
      {header().fmt(1, 1, 11025, 8).id("data").u32(3).raw({0, 128, 255, 0}),
       11025,
       1,
       3,
       {-128 * 4096, 0, 127 * 4096, 0}},
      {oddChunks, 8000, 1, 1, {1600, 0}},
      {junkFirst, 8000, 1, 1, {1600, 0}},
      {header().fmt(1, 1, 8000, 16, 18).id("data").u32(2).u16(100), 8000, 1, 1, {1600, 0}},
      {header().fmt(1, 1, 8000, 16, 17).id("data").u32(2).u16(100), 8000, 1, 1, {1600, 0}},
      // Cut short: the length is what the header says, the missing frames are zeros.
      {header().fmt(1, 1, 8000, 16).id("data").u32(10).u16(3).u16(4).u16(5),
       8000,
       1,
       5,
       {48, 64, 80, 0, 0, 0}},
      {header().fmt(1, 1, 8000, 16).id("data").u32(0), 8000, 1, 0, {0}},
      {header().fmt(1, 1, 196000, 16).id("data").u32(2).u16(1), 196000, 1, 1, {16, 0}},  // the top
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SourceRef s = open(c.file);
    ASSERT_FALSE(s.isNull()) << i;
    EXPECT_EQ(s->rate(), c.rate) << i;
    EXPECT_EQ(s->channels(), c.channels) << i;
    EXPECT_EQ(s->Length(), c.length) << i;
    EXPECT_FALSE(s->MoreComing()) << i;
    std::vector<int32_t> out(c.samples.size(), -1);
    s->Read(out.data(), c.length + 1);
    EXPECT_EQ(out, c.samples) << i;
    EXPECT_EQ(s->Position(), c.length + 1) << i;
    EXPECT_LE(s->available(), 0) << i;
  }
}

// Formats it does not play are unsupported (kind 5), damaged files are not WAVE (kind 3).
TEST_F(WaveFileTest, RefusesUnsupportedFormatsAndDamagedFiles) {
  const std::pair<Bytes, StreamError> bad[] = {
      {header().fmt(1, 1, 8000, 24).id("data").u32(0), StreamError::kUnsupported},
      {header().fmt(3, 1, 8000, 32).id("data").u32(0), StreamError::kUnsupported},
      {header().fmt(1, 1, 196001, 16).id("data").u32(0), StreamError::kUnsupported},
      {header().fmt(1, 0, 8000, 16).id("data").u32(0), StreamError::kUnsupported},
      {header().fmt(1, 1, 0, 16).id("data").u32(0), StreamError::kUnsupported},
      {header().fmt(1, 1, 8000, 0).id("data").u32(0), StreamError::kUnsupported},
      {header().fmt(0xFFFE, 1, 8000, 16).id("data").u32(0), StreamError::kUnsupported},
      {Bytes(), StreamError::kNotWave},                                        // empty
      {Bytes().id("RIFF").u32(4), StreamError::kNotWave},                      // truncated header
      {Bytes().id("JUNK").u32(2).id("xxxx").u32(0), StreamError::kNotWave},    // chunk of 4 or less
      {header(), StreamError::kNotWave},                                       // no fmt
      {header().id("fmt ").u32(15).raw({1, 0, 1, 0}), StreamError::kNotWave},  // fmt too small
      {header().id("fmt ").u32(8193), StreamError::kNotWave},                  // fmt too large
      {header().id("fmt ").u32(16).raw({1, 0}), StreamError::kNotWave},        // fmt cut short
      {header().fmt(1, 1, 8000, 16), StreamError::kNotWave},                   // no data chunk
      {header().id("LIST").u32(0xFFFFFFF0).fmt(1, 1, 8000, 16), StreamError::kNotWave},  // past end
  };
  for (size_t i = 0; i < std::size(bad); ++i) {
    SourceRef s = open(bad[i].first);
    EXPECT_TRUE(s.isNull()) << i;
    EXPECT_EQ(s->error(), bad[i].second) << i;
  }
  EXPECT_EQ(OpenWaveFile((dir_ / "missing.wav").string())->error(), StreamError::kCannotOpen);
  EXPECT_EQ(OpenWaveFile(dir_.string())->error(), StreamError::kNotWave);  // a folder
}

TEST_F(WaveFileTest, GrowingFileReReadsItsLength) {
  Bytes b = header().fmt(1, 1, 8000, 16).id("data").u32(0xFFFFFFFF);
  const std::string path = write(b);
  SourceRef s = OpenWaveFile(path);
  ASSERT_FALSE(s.isNull());
  EXPECT_TRUE(s->MoreComing());
  EXPECT_EQ(s->Length(), 0u);
  {
    std::ofstream f(path, std::ios::binary | std::ios::app);
    const uint8_t frames[] = {1, 0, 2, 0, 3, 0};
    f.write(reinterpret_cast<const char*>(frames), 6);
  }
  EXPECT_EQ(s->Length(), 3u);  // no size in the header yet: what the file holds
  {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(b.b.size() - 4));
    const uint8_t size[] = {4, 0, 0, 0};  // the writer has updated the size to 2 frames
    f.write(reinterpret_cast<const char*>(size), 4);
  }
  EXPECT_EQ(s->Length(), 2u);
  int32_t out[3];
  s->Read(out, 3);
  EXPECT_EQ(out[2], 48);
  EXPECT_TRUE(s->MoreComing());
}

TEST_F(WaveFileTest, RingSoundIsAnEightKilohertzMonoWaveOf20736DataBytes) {
  // Read back through the program's own reader.
  const auto ring = RingSound();
  SourceRef s = open(Bytes{{ring.begin(), ring.end()}});
  ASSERT_FALSE(s.isNull());
  EXPECT_EQ(s->rate(), 8000u);
  EXPECT_EQ(s->channels(), 1u);
  EXPECT_EQ(s->Length(), 20736u / 2);
  std::vector<int32_t> pcm(10368);
  s->Read(pcm.data(), 10368);
  double peak = 0;
  for (int32_t v : pcm) peak = std::max(peak, std::fabs(v / 16.0));
  EXPECT_GT(peak, 8000);                     // audible
  EXPECT_LT(peak, 32767);                    // not clipped
  EXPECT_LT(std::abs(pcm.back()), 16 * 64);  // fades out: no click when it repeats
}

TEST_F(WaveFileTest, DeleteTemporaryAudioRemovesOnlyAudAndGrfFiles) {
  for (const char* name : {"a.aud", "b.AUD", "c.grf", "keep.wav", "keep.aud.txt"}) {
    std::ofstream(dir_ / name) << "x";
  }
  fs::create_directories(dir_ / "folder.aud");
  EXPECT_EQ(DeleteTemporaryAudio(dir_.string()), 3);
  EXPECT_TRUE(fs::exists(dir_ / "keep.wav"));
  EXPECT_TRUE(fs::exists(dir_ / "keep.aud.txt"));
  EXPECT_TRUE(fs::exists(dir_ / "folder.aud"));
  EXPECT_FALSE(fs::exists(dir_ / "a.aud"));
  EXPECT_EQ(DeleteTemporaryAudio((dir_ / "none").string()), 0);
}

}  // namespace
}  // namespace quillet::audio
