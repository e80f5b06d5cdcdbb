// SPDX-License-Identifier: Apache-2.0
// Channel adapters, the peak limiter, the loop source and the source chain builder.
#include "audio/converters.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "audio/resampler.h"
#include "audio/test_streams.h"

namespace quillet::audio {
namespace {

using teststreams::ArraySource;
using teststreams::KeepSink;

// Stereo to mono averages, mono to stereo duplicates (also beyond the adapter's buffer);
// other channel counts get no adapter.
TEST(SinkAdapters, AverageOrDuplicateAndRefuseOtherCounts) {
  SinkRef monoRef = makeStream<KeepSink>(8000, 1);
  EXPECT_EQ(MakeSinkAdapter(1, monoRef), monoRef);
  EXPECT_TRUE(MakeSinkAdapter(3, monoRef).isNull());
  EXPECT_TRUE(MakeSinkAdapter(1, makeStream<KeepSink>(8000, 4)).isNull());
  auto* mono = new KeepSink(8000, 1);
  SinkRef down = MakeSinkAdapter(2, SinkRef(mono));
  std::vector<int32_t> lr = {100, 300, -5, -6, 7, 0};
  down->Write(lr.data(), 3);
  EXPECT_EQ(mono->data, (std::vector<int32_t>{200, -6, 3}));
  EXPECT_EQ(down->position(), 3u);
  down->Seek(50);
  EXPECT_EQ(mono->seeks, (std::vector<uint32_t>{50}));

  auto* stereo = new KeepSink(8000, 2);
  SinkRef up = MakeSinkAdapter(1, SinkRef(stereo));
  std::vector<int32_t> m(10000);
  for (size_t i = 0; i < m.size(); ++i) m[i] = static_cast<int32_t>(i);
  up->Write(m.data(), 10000);
  ASSERT_EQ(stereo->data.size(), 20000u);
  EXPECT_EQ(stereo->data[2 * 9999], 9999);
  EXPECT_EQ(stereo->data[2 * 9999 + 1], 9999);
}

TEST(SourceAdapters, StereoToMonoAddsWithoutHalvingAndDeclaresTheWiderRange) {
  SourceRef src(new ArraySource(8000, 2, {100, 300, -5, -6}));
  SourceRef mono = MakeSourceAdapter(1, src);
  EXPECT_EQ(mono->channels(), 1u);
  EXPECT_EQ(mono->peakRange(), 2 * kProgramPeakRange);
  int32_t out[2];
  mono->Read(out, 2);
  EXPECT_EQ(out[0], 400);
  EXPECT_EQ(out[1], -11);
  EXPECT_EQ(mono->Position(), 2u);

  SourceRef m(new ArraySource(8000, 1, {1, 2, 3}));
  SourceRef st = MakeSourceAdapter(2, m);
  int32_t o[6];
  st->Read(o, 3);
  EXPECT_EQ(std::vector<int32_t>(o, o + 6), (std::vector<int32_t>{1, 1, 2, 2, 3, 3}));
  EXPECT_EQ(MakeSourceAdapter(1, m), m);
  SourceRef null;
  EXPECT_EQ(MakeSourceAdapter(2, null), null);
}

TEST(SourceChain, AdaptsRateAndChannelsAndTheResamplerDeclaresTheWiderRange) {
  SourceRef st(new ArraySource(44100, 2, std::vector<int32_t>(2 * 44100, 0)));
  SourceRef head = AdaptSource(8000, 1, st);
  EXPECT_EQ(head->rate(), 8000u);
  EXPECT_EQ(head->channels(), 1u);
  SourceRef up = AdaptSource(16000, 2, SourceRef(new ArraySource(8000, 1, {})));
  EXPECT_EQ(up->rate(), 16000u);
  EXPECT_EQ(up->channels(), 2u);
  SourceRef null;
  EXPECT_EQ(AdaptSource(8000, 1, null), null);
  // Down to a quarter in one stage, which declares twice the range it wraps (the limiter's
  // cue), unless that range is already the widest.
  SourceRef src(new ArraySource(32000, 1, {}));
  SourceRef rs = MakeResamplingSource(8000, src);
  ASSERT_NE(dynamic_cast<ResamplingSource*>(rs.get()), nullptr);
  EXPECT_EQ(dynamic_cast<ResamplingSource*>(rs.get())->wrapped(), src);
  EXPECT_EQ(rs->peakRange(), 2 * kProgramPeakRange);
  SourceRef wide(new ArraySource(32000, 1, {}, 0x200000));
  EXPECT_EQ(MakeResamplingSource(8000, wide)->peakRange(), 0x200000);
}

TEST(PeakLimiter, HoldsALoudSourceToTheLimitAndLeavesAQuietOneAlone) {
  const auto loud = teststreams::sine(440, 8000, 16000, 2.0 * kSampleMax);
  SourceRef lim = MakePeakLimiter(kSampleMax, SourceRef(new ArraySource(8000, 1, loud)));
  std::vector<int32_t> out(15000);
  lim->Read(out.data(), 15000);
  for (size_t i = 0; i < out.size(); ++i) ASSERT_LE(std::abs(out[i]), kSampleMax) << i;
  // Attenuated, not clipped: the tone keeps about half its amplitude.
  const double a = teststreams::toneAmplitude(out.data() + 2000, 8000, 440, 8000);
  EXPECT_NEAR(a / (2.0 * kSampleMax), 0.5, 0.05);

  const auto quiet = teststreams::sine(440, 8000, 8000, 0.5 * kSampleMax);
  SourceRef pass = MakePeakLimiter(kSampleMax, SourceRef(new ArraySource(8000, 1, quiet)));
  std::vector<int32_t> q(7000);
  pass->Read(q.data(), 7000);
  for (size_t i = 0; i < q.size(); ++i) ASSERT_EQ(q[i], quiet[i]);
}

TEST(PeakLimiter, RampsDownBeforeALoudBurstArrives) {
  // Quiet, then a loud step: the limiter looks ahead and is already low when it comes.
  std::vector<int32_t> x(8000, 100000);
  for (size_t i = 4000; i < 8000; ++i) x[i] = 1000000;
  auto* src = new ArraySource(8000, 1, x);
  SourceRef lim = MakePeakLimiter(kSampleMax, SourceRef(src));
  // A finished source: blocks of rate / 35 = 228 frames.
  std::vector<int32_t> out(7000);
  lim->Read(out.data(), 7000);
  EXPECT_LT(out[3999], 100000);  // already reduced before the step
  EXPECT_LE(out[4000], kSampleMax);
  EXPECT_EQ(out[100], 100000);  // far ahead of the step nothing is touched
}

TEST(PeakLimiter, ReportsPositionAndLengthWithoutTheLookAhead) {
  auto* src = new ArraySource(7000, 1, std::vector<int32_t>(10000, 5));
  src->live = true;  // live: blocks of 7000 / 70 = 100 frames
  SourceRef lim = MakePeakLimiter(kSampleMax, SourceRef(src));
  EXPECT_EQ(lim->Length(), 10000u - 300);
  std::vector<int32_t> out(150);
  lim->Read(out.data(), 150);
  EXPECT_EQ(src->pos, 400u);  // three blocks ahead, then one more
  EXPECT_EQ(lim->Position(), 150u);
  EXPECT_EQ(lim->Length(), 10000u - 250);
  src->live = false;
  EXPECT_EQ(lim->Length(), 10000u);
}

// The calling sound loops its whole file (its repeats are heard in intercom_e2e); a file far
// shorter than a read, or empty, is still played through, never stuck on.
TEST(LoopSource, AShortOrEmptyFileStillAdvances) {
  for (const uint32_t frames : {0u, 8u}) {
    auto* src = new ArraySource(8000, 1, std::vector<int32_t>(frames, 1));
    SourceRef loop = MakeLoopSource(0, frames / 8, SourceRef(src));
    std::vector<int32_t> out(1000, -1);
    loop->Read(out.data(), 1000);  // reads at least 256 frames a turn
    // The file comes round again and again (padded to the read), an empty one is silence.
    EXPECT_GE(std::count(out.begin(), out.end(), 1), frames * 4) << frames;
    EXPECT_EQ(std::count(out.begin(), out.end(), -1), 0) << frames;
  }
}

}  // namespace
}  // namespace quillet::audio
