// SPDX-License-Identifier: Apache-2.0
// G.722 through AudioCodec: a wideband voice round trip, frame sizes, odd and truncated
// input (its agreement with another implementation is checked in tests/codecs).
#include "codecs/g722_codec.h"

#include <gtest/gtest.h>

#include <vector>

#include "codecs/codec_test_signals.h"

namespace quillet::codecs {
namespace {

using testing::alignedSnrDb;
using testing::speechLike;

std::vector<int32_t> roundTrip(AudioCodec& codec, const std::vector<int32_t>& in, int frame) {
  std::vector<int32_t> out;
  std::vector<uint8_t> payload(codec.maxEncodedBytes(frame));
  std::vector<int32_t> pcm(codec.maxDecodedSamples(static_cast<int>(payload.size())));
  for (size_t at = 0; at < in.size(); at += frame) {
    const int count = static_cast<int>(std::min<size_t>(frame, in.size() - at));
    const int bytes = codec.encode(in.data() + at, count, payload.data());
    EXPECT_EQ(bytes, (count + 1) / 2);
    const int n = codec.decode(payload.data(), bytes, pcm.data());
    EXPECT_EQ(n, 2 * bytes);
    out.insert(out.end(), pcm.begin(), pcm.begin() + n);
  }
  return out;
}

TEST(G722Codec, WidebandVoiceSurvivesTheRoundTrip) {
  const CodecInfo& info = codecInfo(CodecId::kG722);
  EXPECT_EQ(info.sampleRate, 16000);
  EXPECT_EQ(info.rtpClockRate, 8000);
  EXPECT_EQ(info.frameSamples, 320);
  EXPECT_EQ(info.bytesPerFrame, 160);
  EXPECT_EQ(info.payloadType, 9);

  auto codec = createAudioCodec(CodecId::kG722);
  ASSERT_NE(codec, nullptr);
  EXPECT_EQ(codec->id(), CodecId::kG722);
  EXPECT_EQ(codec->maxEncodedBytes(320), 160);
  const std::vector<int32_t> in = speechLike(16000, 3 * 16000);
  const std::vector<int32_t> out = roundTrip(*codec, in, 320);
  ASSERT_EQ(out.size(), in.size());
  int delay = 0;
  const double snr = alignedSnrDb(in, out, 64, &delay);
  std::printf("g722: SNR %.1f dB at a delay of %d samples\n", snr, delay);
  EXPECT_GT(snr, 20.0);

  // Energy above 4 kHz comes through: this is not narrowband audio in disguise.
  const std::vector<int32_t> high = testing::sine(5000.0 / 2, 0.3, 16000);  // 5 kHz at 16000 Hz
  codec->reset();
  const std::vector<int32_t> back = roundTrip(*codec, high, 320);
  EXPECT_GT(testing::rms(back.data() + 1600, 8000), 0.7 * testing::rms(high.data(), 8000));
}

TEST(G722Codec, OddCountsPadAndAnyByteCountDecodes) {
  const std::vector<int32_t> in = speechLike(16000, 641);
  auto a = createAudioCodec(CodecId::kG722);
  auto b = createAudioCodec(CodecId::kG722);
  std::vector<int32_t> padded(in);
  padded.push_back(0);
  std::vector<uint8_t> pa(a->maxEncodedBytes(641), 0xEE);
  std::vector<uint8_t> pb(321);
  EXPECT_EQ(pa.size(), 321u);
  EXPECT_EQ(a->encode(in.data(), 641, pa.data()), 321);
  EXPECT_EQ(b->encode(padded.data(), 642, pb.data()), 321);
  EXPECT_EQ(pa, pb);

  // A truncated payload still decodes, two samples per byte, within the sample range.
  std::vector<int32_t> out(a->maxDecodedSamples(321), 99);
  EXPECT_EQ(a->decode(pa.data(), 1, out.data()), 2);
  EXPECT_EQ(a->decode(pa.data(), 0, out.data()), 0);
  EXPECT_EQ(a->decode(pa.data(), -5, out.data()), 0);
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  std::vector<int32_t> wild(a->maxDecodedSamples(256));
  for (int round = 0; round < 50; ++round) {
    ASSERT_EQ(a->decode(all.data(), 256, wild.data()), 512);
    for (int32_t v : wild) ASSERT_TRUE(v >= kSampleMin && v <= kSampleMax);
  }
  EXPECT_EQ(a->decodeLost(nullptr, 0, out.data()), 0);  // no concealment of its own
}

}  // namespace
}  // namespace quillet::codecs
