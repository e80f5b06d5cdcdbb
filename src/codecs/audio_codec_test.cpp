// SPDX-License-Identifier: Apache-2.0
// The codec choice by payload type and frame handling of AudioCodec (the codec names are
// checked through quillet-tool in codec_tool_test, the rtpmap names in the SDP tests).
#include "codecs/audio_codec.h"

#include <gtest/gtest.h>

#include <vector>

#include "codecs/codec_test_signals.h"

namespace quillet::codecs {
namespace {

TEST(AudioCodec, PayloadTypesChooseTheCodec) {
  EXPECT_EQ(codecForPayloadType(0, 96, 97), CodecId::kPcmu);
  EXPECT_EQ(codecForPayloadType(8, 96, 97), CodecId::kPcma);
  EXPECT_EQ(codecForPayloadType(3, 96, 97), CodecId::kGsm);
  EXPECT_EQ(codecForPayloadType(96, 96, 97), CodecId::kG726_32);
  EXPECT_EQ(codecForPayloadType(97, 96, 97), CodecId::kG726_32Aal2);
  EXPECT_EQ(codecForPayloadType(2, 2, -1), CodecId::kG726_32);
  EXPECT_EQ(codecForPayloadType(96, -1, -1), std::nullopt);
  EXPECT_EQ(codecForPayloadType(2, 96, 97), std::nullopt);
  EXPECT_EQ(codecForPayloadType(101, 96, 97), std::nullopt);
  EXPECT_EQ(codecForPayloadType(-1, -1, -1), std::nullopt);
}

TEST(AudioCodec, EveryCodecTurnsAFrameIntoItsPayloadSizeAndBack) {
  const std::vector<int32_t> in = testing::sine(700.0, 0.4, 160);
  for (CodecId id :
       {CodecId::kPcmu, CodecId::kPcma, CodecId::kGsm, CodecId::kG726_32, CodecId::kG726_32Aal2}) {
    std::unique_ptr<AudioCodec> codec = createAudioCodec(id);
    ASSERT_NE(codec, nullptr);
    EXPECT_EQ(codec->id(), id);
    const int size = codecInfo(id).bytesPerFrame;
    EXPECT_EQ(codec->maxEncodedBytes(160), size);
    std::vector<uint8_t> payload(size + 1, 0xEE);
    EXPECT_EQ(codec->encode(in.data(), 160, payload.data()), size) << codecInfo(id).name;
    EXPECT_EQ(payload[size], 0xEE);
    std::vector<int32_t> out(161, 99);
    EXPECT_EQ(codec->decode(payload.data(), size, out.data()), 160) << codecInfo(id).name;
    EXPECT_EQ(out[160], 99);
    EXPECT_EQ(codec->encode(in.data(), 0, payload.data()), 0);
    EXPECT_EQ(codec->decode(payload.data(), 0, out.data()), 0);
  }
}

TEST(AudioCodec, TheTableStatesEachCodecsRatesAndFrame) {
  for (CodecId id : {CodecId::kPcmu, CodecId::kPcma, CodecId::kGsm, CodecId::kG726_32,
                     CodecId::kG726_32Aal2, CodecId::kG722, CodecId::kOpus}) {
    const CodecInfo& info = codecInfo(id);
    EXPECT_EQ(info.id, id);
    EXPECT_EQ(codecByName(info.name), id);
    EXPECT_EQ(info.frameSamples, info.sampleRate / 50) << info.name;  // 20 ms
    EXPECT_EQ(createAudioCodec(id)->id(), id);
    if (id != CodecId::kG722 && id != CodecId::kOpus) {
      EXPECT_EQ(info.sampleRate, kSampleRate) << info.name;
      EXPECT_EQ(info.rtpClockRate, kSampleRate) << info.name;
      EXPECT_EQ(info.frameSamples, kFrameSamples) << info.name;
    }
  }
  EXPECT_STREQ(codecInfo(CodecId::kOpus).rtpmap, "opus/48000/2");
  EXPECT_EQ(codecInfo(CodecId::kOpus).rtpClockRate, 48000);
  EXPECT_STREQ(codecInfo(CodecId::kG722).rtpmap, "G722/8000");
  // Calls stay narrowband: G.722's static type does not choose it there yet.
  EXPECT_EQ(codecForPayloadType(9, 96, 97), std::nullopt);
}

TEST(AudioCodec, GsmPadsAPartialFrameAndDecodesWholeFramesOnly) {
  const std::vector<int32_t> in = testing::sine(500.0, 0.5, 200);
  std::vector<int32_t> padded(in);
  padded.resize(320, 0);
  std::unique_ptr<AudioCodec> a = createAudioCodec(CodecId::kGsm);
  std::unique_ptr<AudioCodec> b = createAudioCodec(CodecId::kGsm);
  std::vector<uint8_t> pa(66);
  std::vector<uint8_t> pb(66);
  EXPECT_EQ(a->encode(in.data(), 200, pa.data()), 66);
  EXPECT_EQ(b->encode(padded.data(), 320, pb.data()), 66);
  EXPECT_EQ(pa, pb);
  std::vector<int32_t> out(320, 0);
  EXPECT_EQ(a->maxDecodedSamples(66), 320);
  EXPECT_EQ(a->decode(pa.data(), 66, out.data()), 320);
  EXPECT_GT(testing::rms(out.data() + 160, 40), 0.0);
  EXPECT_EQ(a->maxDecodedSamples(32), 0);
  EXPECT_EQ(a->decode(pa.data(), 32, out.data()), 0);
}

TEST(AudioCodec, ResetRestartsTheStates) {
  const std::vector<int32_t> in = testing::sine(300.0, 0.5, 480);
  for (CodecId id : {CodecId::kGsm, CodecId::kG726_32, CodecId::kG722}) {
    std::unique_ptr<AudioCodec> codec = createAudioCodec(id);
    const int size = codecInfo(id).bytesPerFrame;
    std::vector<uint8_t> first(size);
    std::vector<uint8_t> later(size);
    codec->encode(in.data(), 160, first.data());
    codec->encode(in.data() + 160, 320, std::vector<uint8_t>(2 * size).data());
    codec->reset();
    codec->encode(in.data(), 160, later.data());
    EXPECT_EQ(first, later) << codecInfo(id).name;
  }
}

}  // namespace
}  // namespace quillet::codecs
