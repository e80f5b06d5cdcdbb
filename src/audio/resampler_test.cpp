// SPDX-License-Identifier: Apache-2.0
// The resampling sink and source and the chain builders (the playback side's quality is
// measured through quillet-tool in tests/audio).
#include "audio/resampler.h"

#include <gtest/gtest.h>

#include <cmath>

#include "audio/converters.h"
#include "audio/test_streams.h"

namespace quillet::audio {
namespace {

using teststreams::ArraySource;
using teststreams::KeepSink;

// Fit of a sinusoid at a frequency given in cycles per sample, by projection once the mean
// is taken off; answers the amplitude and the signal-to-residual ratio in dB.
struct Fit {
  double amplitude = 0;
  double snrDb = 0;
};
Fit fitTone(const int32_t* y, size_t n, double cyclesPerSample) {
  double mean = 0, a = 0, b = 0;
  for (size_t i = 0; i < n; ++i) mean += y[i] / static_cast<double>(n);
  const auto w = [&](size_t i) { return 2 * M_PI * cyclesPerSample * static_cast<double>(i); };
  for (size_t i = 0; i < n; ++i) {
    a += 2 * (y[i] - mean) * std::cos(w(i)) / static_cast<double>(n);
    b += 2 * (y[i] - mean) * std::sin(w(i)) / static_cast<double>(n);
  }
  double sig = 0, res = 0;
  for (size_t i = 0; i < n; ++i) {
    const double model = a * std::cos(w(i)) + b * std::sin(w(i));
    sig += model * model;
    res += (y[i] - mean - model) * (y[i] - mean - model);
  }
  return {std::hypot(a, b), 10 * std::log10(sig / std::max(res, 1e-9))};
}

// The frequency (cycles per sample) with the largest tone amplitude near a guess.
double findFrequency(const int32_t* y, size_t n, double guess) {
  double lo = guess * 0.99, hi = guess * 1.01;
  for (int i = 0; i < 60; ++i) {
    const double m1 = lo + (hi - lo) / 3, m2 = hi - (hi - lo) / 3;
    if (teststreams::toneAmplitude(y, n, m1, 1.0) < teststreams::toneAmplitude(y, n, m2, 1.0)) {
      lo = m1;
    } else {
      hi = m2;
    }
  }
  return (lo + hi) / 2;
}

TEST(Resampler, EqualRatesMakeNoResamplerAndThreeChannelsProduceNothing) {
  SinkRef sink = makeStream<KeepSink>(8000, 1);
  EXPECT_EQ(MakeResamplingSink(8000, sink), sink);
  EXPECT_EQ(BuildCaptureChain(8000, 1, sink), sink);
  SourceRef same(new ArraySource(8000, 1, {}));
  EXPECT_EQ(MakeResamplingSource(8000, same), same);
  EXPECT_EQ(AdaptSource(8000, 1, same), same);

  auto* collect = new KeepSink(8000, 3);
  SinkRef head = MakeResamplingSink(22050, SinkRef(collect));
  std::vector<int32_t> block(3 * 2205, 1000);
  head->Write(block.data(), 2205);
  EXPECT_TRUE(collect->data.empty());
  EXPECT_EQ(head->position(), 2205u);
  SourceRef rs = MakeResamplingSource(8000, SourceRef(new ArraySource(22050, 3, block)));
  std::vector<int32_t> out(3 * 100, 7);
  rs->Read(out.data(), 100);
  for (int32_t v : out) ASSERT_EQ(v, 0);
}

// A mono device resamples its one channel before the stereo adapter; a stereo device is
// mixed to mono before resampling.
TEST(Resampler, CaptureChainsResampleAsFewChannelsAsTheyCan) {
  auto* stereoSink = new KeepSink(8000, 2);
  SinkRef head = BuildCaptureChain(22050, 1, SinkRef(stereoSink));
  ASSERT_NE(dynamic_cast<ResamplingSink*>(head.get()), nullptr);
  EXPECT_EQ(head->channels(), 1u);
  const auto in = teststreams::sine(500, 22050, 22050, 100000);
  head->Write(in.data(), static_cast<uint32_t>(in.size()));
  // Less the half filter's length still held (about 20 frames).
  ASSERT_NEAR(stereoSink->data.size() / 2.0, 8000.0 - 20, 16.0);
  for (size_t i = 0; i < stereoSink->data.size(); i += 2) {
    ASSERT_EQ(stereoSink->data[i], stereoSink->data[i + 1]);
  }

  auto* monoSink = new KeepSink(8000, 1);
  head = BuildCaptureChain(16000, 2, SinkRef(monoSink));
  EXPECT_EQ(head->channels(), 2u);
  EXPECT_EQ(dynamic_cast<ResamplingSink*>(head.get()), nullptr);  // the adapter comes first
  std::vector<int32_t> lr(2 * 1600);
  for (size_t i = 0; i < 1600; ++i) lr[2 * i] = 40000, lr[2 * i + 1] = 20000;
  head->Write(lr.data(), 1600);
  ASSERT_GT(monoSink->data.size(), 700u);
  EXPECT_NEAR(monoSink->data[400], 30000, 300);  // (L + R) >> 1 at unity DC gain
}

// What a capture device delivers at its own rate, written in 20 ms blocks, reaches the call
// at its frequency, flat through the speech band (within 0.5 dB up to 3.4 kHz) and clean;
// what lies above 4 kHz does not fold back into it. (The playback side, with its images and
// aliases, is measured through quillet-tool in tests/audio.)
TEST(ResamplingSink, CaptureKeepsTheSpeechBandFlatAndFoldsNothingBack) {
  struct Case {
    uint32_t from, to;
    double hz;
  };
  std::vector<Case> cases = {{22050, 8000, 1000}, {8000, 44100, 1000}};
  for (const uint32_t from : {48000u, 44100u}) {
    for (const double hz : {100.0, 300.0, 1000.0, 2000.0, 3000.0, 3400.0, 4600.0, 6000.0})
      cases.push_back({from, 8000, hz});
  }
  const double amplitude = 0.5 * kSampleMax;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.from << " -> " << c.to << " Hz, a tone of " << c.hz);
    const auto in = teststreams::sine(c.hz, c.from, c.from * 2, amplitude);
    auto* collect = new KeepSink(c.to, 1);
    SinkRef head = MakeResamplingSink(c.from, SinkRef(collect));
    const size_t block = c.from / 50;
    for (size_t at = 0; at < in.size(); at += block)
      head->Write(in.data() + at, static_cast<uint32_t>(std::min(block, in.size() - at)));
    ASSERT_GT(collect->data.size(), c.to * 5 / 4);
    const int32_t* y = collect->data.data() + c.to / 4;  // a steady second past the start
    if (c.hz > c.to / 2.0) {
      const double alias = (c.to - c.hz) / c.to;
      EXPECT_LT(teststreams::db(fitTone(y, c.to, alias).amplitude / amplitude), -40.0);
      continue;
    }
    // The output rate is within 0.001 of the rate ratio: 0.23 % for 8000 -> 44100.
    const double f = findFrequency(y, c.to, c.hz / c.to);
    EXPECT_NEAR(f * c.to, c.hz, 2.5 * c.hz / 1000);
    const Fit fit = fitTone(y, c.to, f);
    EXPECT_NEAR(teststreams::db(fit.amplitude / amplitude), 0.0, 0.5);
    EXPECT_GT(fit.snrDb, 30.0);
  }
}

TEST(ResamplingSource, LengthNeverPromisesMoreThanTheSourceHolds) {
  auto* vs = new ArraySource(44100, 1, teststreams::sine(440, 44100, 44100, 10000));
  vs->live = true;  // a growing source: nothing past its data may be promised
  SourceRef src(vs);
  SourceRef rs = MakeResamplingSource(8000, src);
  std::vector<int32_t> out(9000);
  uint32_t total = 0;
  for (int i = 0; i < 50; ++i) {
    const int32_t avail = rs->available();
    if (avail <= 0) break;
    const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(avail), 333);
    rs->Read(out.data(), n);
    total += n;
    ASSERT_LE(vs->pos, vs->data.size());
  }
  EXPECT_GT(total, 7900u);
  EXPECT_EQ(rs->Position(), total);
  // Once the source is finished the filter's tail comes out too.
  vs->live = false;
  EXPECT_GT(rs->available(), 0);
}

// A finished source ends at its real length whether read in small steps or by a peak
// limiter that reads whole blocks ahead; reading on past the end keeps the length put.
TEST(ResamplingSource, AFinishedSourceEndsAtItsRealLength) {
  for (const bool limited : {false, true}) {
    for (const uint32_t rate : {8000u, 22050u, 3000u}) {  // one stage, upward, two stages
      SCOPED_TRACE(testing::Message() << "limited " << limited << " rate " << rate);
      SourceRef src(new ArraySource(16000, 1, teststreams::sine(440, 16000, 16000, 10000)));
      SourceRef rs = MakeResamplingSource(rate, src);
      if (limited) rs = MakePeakLimiter(kSampleMax, rs);
      const int32_t expected = static_cast<int32_t>(rate);  // one second of input
      const int32_t tol = expected / 1000 + 2;              // the table's ratio is within 0.1 %
      EXPECT_NEAR(static_cast<int32_t>(rs->Length()), expected, tol);
      std::vector<int32_t> out(500);
      uint32_t total = 0;
      for (int i = 0; i < 1000 && rs->available() > 0; ++i) {
        const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(rs->available()), 500);
        rs->Read(out.data(), n);
        total += n;
      }
      EXPECT_LE(rs->available(), 0);
      EXPECT_NEAR(static_cast<int32_t>(total), expected, tol);
      EXPECT_NEAR(static_cast<int32_t>(rs->Length()), expected, tol);
      rs->Read(out.data(), 500);  // past the end: zeros, the length stays
      EXPECT_NEAR(static_cast<int32_t>(rs->Length()), expected, tol);
      EXPECT_LT(rs->available(), 0);
    }
  }
}

TEST(ResamplingSink, LoudAlternatingInputDoesNotOverflow) {
  // Full-scale alternating samples drive every tap's product to its largest value.
  auto* collect = new KeepSink(8000, 1);
  SinkRef head = MakeResamplingSink(8001, SinkRef(collect));
  std::vector<int32_t> in(4000);
  for (size_t i = 0; i < in.size(); ++i) in[i] = (i / 2) % 2 ? kSampleMin : kSampleMax;
  head->Write(in.data(), 4000);
  for (int32_t v : collect->data) ASSERT_LT(std::abs(static_cast<int64_t>(v)), 4 * kSampleMax);
}

}  // namespace
}  // namespace quillet::audio
