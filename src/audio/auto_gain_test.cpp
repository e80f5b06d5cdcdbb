// SPDX-License-Identifier: Apache-2.0
// AutoGain: how fast the gain moves, the high-pass and block handling (the levels it settles
// to on quiet and loud speech are measured through quillet-tool in tests/audio).
#include "audio/auto_gain.h"

#include <gtest/gtest.h>

#include <cmath>

#include "audio/level_meter.h"
#include "audio/test_streams.h"

namespace quillet::audio {
namespace {

using teststreams::KeepSink;

// An AutoGain writing into a sink the test reads.
struct Chain {
  explicit Chain(uint32_t channels = 1) : out(new KeepSink(8000, channels)), agc(SinkRef(out)) {}
  KeepSink* out;
  AutoGain agc;
};

// Feeds `seconds` of a 1 kHz tone with the given peak level in 20 ms blocks; answers the
// peak level of the output's last 200 ms.
int settledLevel(Chain& c, double levelDb, double seconds) {
  const double peak = kPeakReference * std::pow(10.0, levelDb / 20);
  const size_t n = static_cast<size_t>(8000 * seconds);
  const auto in = teststreams::sine(1000, 8000, n, peak);
  for (size_t at = 0; at + 160 <= n; at += 160) c.agc.Write(in.data() + at, 160);
  return peakLevel(c.out->data.data() + c.out->data.size() - 1600, 1600, 1, 0);
}

TEST(AutoGain, FallsFastAndRisesSlowly) {
  Chain c;
  settledLevel(c, -34, 6.0);
  const int32_t quietGain = c.agc.gain();
  // A loud burst: within 100 ms the gain has dropped most of the way.
  settledLevel(c, 12, 0.1);
  EXPECT_LT(c.agc.gain(), quietGain / 4);
  const int32_t loudGain = c.agc.gain();
  // Back to quiet: after 100 ms the gain has risen by only about a tenth of the distance.
  settledLevel(c, -34, 0.1);
  EXPECT_GT(c.agc.gain(), loudGain);
  EXPECT_LT(c.agc.gain() - loudGain, (quietGain - loudGain) / 5);
}

// Mono blocks lose their DC (also one longer than the filter's buffer, passed whole); stereo
// has no high-pass.
TEST(AutoGain, MonoRemovesDcAndStereoPassesIt) {
  Chain mono;
  std::vector<int32_t> dc(20000, 50000);
  mono.agc.Write(dc.data(), 20000);
  EXPECT_EQ(mono.out->data.size(), 20000u);
  EXPECT_EQ(mono.agc.position(), 20000u);
  EXPECT_LT(std::abs(mono.out->data.back()), 100);
  Chain stereo(2);
  stereo.agc.Write(dc.data(), 4000);
  EXPECT_GT(stereo.out->data.back(), 40000);
}

}  // namespace
}  // namespace quillet::audio
