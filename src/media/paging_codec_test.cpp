// SPDX-License-Identifier: Apache-2.0
// The codecs of plain pages: payload types both ways, and Opus coded and played at 16000 Hz.
#include "media/paging_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace quillet::media {
namespace {

TEST(PagingCodec, PayloadTypesBothWays) {
  EXPECT_EQ(plainPageCodec(0, 111), codecs::CodecId::kPcmu);
  EXPECT_EQ(plainPageCodec(8, 111), codecs::CodecId::kPcma);
  EXPECT_EQ(plainPageCodec(9, 96), codecs::CodecId::kG722);
  EXPECT_EQ(plainPageCodec(96, 96), codecs::CodecId::kOpus);
  EXPECT_FALSE(plainPageCodec(111, 96));  // Opus at another type than the group's
  EXPECT_FALSE(plainPageCodec(3, 111));   // GSM is no page codec
  EXPECT_EQ(plainPagePayloadType(codecs::CodecId::kOpus, 100), 100);
  EXPECT_EQ(plainPagePayloadType(codecs::CodecId::kG722, 100), 9);
  EXPECT_TRUE(isDynamicPayloadType(96) && isDynamicPayloadType(127));
  EXPECT_FALSE(isDynamicPayloadType(95) || isDynamicPayloadType(128));
  EXPECT_EQ(pageAudioRate(codecs::CodecId::kPcmu), 8000u);
  EXPECT_EQ(pageAudioRate(codecs::CodecId::kG722), 16000u);
  EXPECT_EQ(pageAudioRate(codecs::CodecId::kOpus), 16000u);
}

// A 5 kHz tone (above what 8000 Hz audio holds) through Opus at 16000 Hz, 20 ms a packet:
// what comes out is as long as what went in and carries the tone.
TEST(PagingCodec, OpusPagesAreWideband) {
  auto sender = createPageCodec(codecs::CodecId::kOpus);
  auto receiver = createPageCodec(codecs::CodecId::kOpus);
  ASSERT_TRUE(sender && receiver);
  constexpr int kFrame = 320;
  std::vector<int32_t> heard;
  for (int packet = 0; packet < 25; ++packet) {
    std::vector<int32_t> samples(kFrame);
    for (int i = 0; i < kFrame; ++i) {
      samples[static_cast<size_t>(i)] = static_cast<int32_t>(
          100000 * std::sin(2 * M_PI * 5000.0 * (packet * kFrame + i) / 16000.0));
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(sender->maxEncodedBytes(kFrame)));
    const int size = sender->encode(samples.data(), kFrame, bytes.data());
    ASSERT_GT(size, 0);
    std::vector<int32_t> out(static_cast<size_t>(receiver->maxDecodedSamples(size)));
    ASSERT_EQ(receiver->decode(bytes.data(), size, out.data()), kFrame);
    heard.insert(heard.end(), out.begin(), out.begin() + kFrame);
  }
  // The tone's share of the last 200 ms (the coder has settled by then).
  double tone = 0, all = 0;
  double re = 0, im = 0;
  for (size_t i = heard.size() - 3200; i < heard.size(); ++i) {
    const double x = heard[i];
    re += x * std::cos(2 * M_PI * 5000.0 * static_cast<double>(i) / 16000.0);
    im += x * std::sin(2 * M_PI * 5000.0 * static_cast<double>(i) / 16000.0);
    all += x * x;
  }
  tone = 2 * (re * re + im * im) / 3200;
  EXPECT_GT(tone, 0.8 * all);
  EXPECT_GT(all / 3200, 0.25 * 100000.0 * 100000.0);
}

}  // namespace
}  // namespace quillet::media
