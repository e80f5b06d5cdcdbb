// SPDX-License-Identifier: Apache-2.0
// EchoSuppressor: gating, the one-block delay, the far end's play position across a playback
// stall and the learned values carried through the settings (how much echo it takes out of
// a hands-free recording, near-end speech kept, is measured through quillet-tool in
// tests/audio; its line-up with a call's played audio in tests/pipewire).
#include "audio/echo_suppressor.h"

#include <gtest/gtest.h>

#include <cmath>

#include "audio/echo_settings.h"
#include "audio/test_streams.h"
#include "platform/test_util.h"

namespace quillet::audio {
namespace {

using teststreams::KeepSink;

constexpr uint32_t kRate = 8000;

// A play position set by the test, published at the given tick.
class InStepPlayer : public PlayPosition {
 public:
  uint32_t playPosition() const override { return position; }
  uint32_t playPositionTick() const override { return tick; }
  uint32_t playRate() const override { return kRate; }
  uint32_t position = 0;
  uint32_t tick = 1000;
};

EchoConfig fixedClock(EchoLearned learned = {}) {
  EchoConfig c;
  c.learned = learned;
  c.clock = [] { return uint32_t{1000}; };
  return c;
}

// Speech-like test signal: noise shaped into syllables (3.5 per second) inside the given
// active spans (seconds), with a pitch pulse for voicing. Peak near the given level.
std::vector<int32_t> speechLike(size_t n, uint32_t seed, double peak,
                                std::initializer_list<std::pair<double, double>> spans) {
  std::vector<int32_t> out(n, 0);
  uint32_t lcg = seed;
  double lp = 0;
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / kRate;
    bool active = false;
    double start = 0;
    for (const auto& [a, b] : spans) {
      if (t >= a && t < b) active = true, start = a;
    }
    lcg = lcg * 1664525u + 1013904223u;
    const double noise = static_cast<double>(static_cast<int32_t>(lcg)) / 2147483648.0;
    lp = 0.6 * lp + 0.4 * noise;
    if (!active) continue;
    const double pitch = (i % (kRate / 130)) < 6 ? 1.0 : 0.0;
    const double env = 0.5 - 0.5 * std::cos(2 * M_PI * 3.5 * (t - start));
    out[i] = static_cast<int32_t>(peak * env * (0.7 * lp + 0.6 * pitch));
  }
  return out;
}

double energyDb(const std::vector<int32_t>& x, double from, double to) {
  const size_t a = static_cast<size_t>(from * kRate);
  const size_t b = std::min(x.size(), static_cast<size_t>(to * kRate));
  double s = 0;
  for (size_t i = a; i < b; ++i) s += static_cast<double>(x[i]) * x[i];
  return 10 * std::log10(s / static_cast<double>(b - a) + 1e-9);
}

// Runs mic and far through a suppressor in blocks, the far end read just ahead.
void feed(EchoSuppressor& es, const std::vector<int32_t>& far, const std::vector<int32_t>& mic,
          size_t block) {
  for (size_t at = 0; at + block <= mic.size(); at += block) {
    es.farEnd(far.data() + at, static_cast<uint32_t>(block), static_cast<uint32_t>(at + block));
    es.Write(mic.data() + at, static_cast<uint32_t>(block));
  }
}

// An open gate passes a block on at once; a shut one holds a block back while attenuating.
TEST(EchoSuppressor, OpenPassesAtOnceAndAttenuatingHoldsOneBlockBack) {
  auto* open = new KeepSink(kRate, 1);
  EchoSuppressor fresh(nullptr, fixedClock());  // nothing learned: every band opens
  fresh.setDownstream(SinkRef(open));
  std::vector<int32_t> far(80, 0);
  fresh.farEnd(far.data(), 80, 80);
  std::vector<int32_t> loud = speechLike(80, 3, 200000, {{0, 1}});
  for (size_t i = 0; i < 80; ++i) loud[i] += (i % 2 ? 1 : -1) * 20000;
  fresh.Write(loud.data(), 80);
  for (uint32_t b = 0; b < 3; ++b) EXPECT_EQ(fresh.targetGain(b), 0x1000000) << b;
  EXPECT_EQ(open->data.size(), 80u);

  auto* shut = new KeepSink(kRate, 1);
  EchoLearned learned;
  learned.noiseGate = {100000, 100000, 100000};  // a high floor keeps the gate shut
  EchoSuppressor es(nullptr, fixedClock(learned));
  es.setDownstream(SinkRef(shut));
  std::vector<int32_t> quiet(80);
  for (size_t i = 0; i < 80; ++i) quiet[i] = (i % 2 ? 1 : -1) * 3000;
  es.Write(quiet.data(), 80);
  es.Write(quiet.data(), 40);
  EXPECT_TRUE(shut->data.empty());
  es.Write(quiet.data(), 40);
  EXPECT_EQ(shut->data.size(), 80u);  // the first block comes out when the second is full
  EXPECT_LT(es.targetGain(0), 0x1000000);
}

TEST(EchoSuppressor, QuietFarEndTeachesNothing) {
  EchoLearned learned;
  learned.echo = {500, 500, 500};
  EchoSuppressor es(nullptr, fixedClock(learned));
  es.setDownstream(makeStream<KeepSink>(kRate, 1));
  const auto far = speechLike(8000, 4, 1500, {{0, 1}});  // every band peak below 2048
  feed(es, far, speechLike(8000, 5, 200000, {{0, 1}}), 80);
  for (uint32_t b = 0; b < 3; ++b) {
    for (uint32_t t = 0; t < EchoSuppressor::kTaps; ++t) ASSERT_EQ(es.coupling(b, t), 500u);
  }
}

TEST(EchoSuppressor, EchoEstimateIsTakenIn64Bits) {
  // 2^22 × 2^10 is 2^32: modulo 2^32 it would read as no echo at all.
  EXPECT_EQ(EchoSuppressor::echoEstimate(1u << 22, 1 << 10), 1u << 22);
  // So a huge learned coupling and a loud far end keep every band shut.
  EchoLearned learned;
  learned.echo = {1 << 22, 1 << 22, 1 << 22};
  auto* out = new KeepSink(kRate, 1);
  EchoSuppressor es(nullptr, fixedClock(learned));
  es.setDownstream(SinkRef(out));
  const auto far = speechLike(4000, 6, 400000, {{0, 1}});
  const auto mic = speechLike(4000, 7, 400000, {{0, 1}});
  feed(es, far, mic, 80);
  // Once the gains have ramped down (at most 2048 samples), nothing passes.
  EXPECT_LT(energyDb(out->data, 0.3, 0.49), energyDb(mic, 0.3, 0.49) - 60);
}

// Under load playback stalls: no position comes for 100 ms and capture hands over a gap
// filled with silence, while the far end went on. That silence is no sign that the room's
// echo went away: when it comes back it must stay as far down as before the stall.
TEST(EchoSuppressor, HoldsTheEchoBackAcrossAPlaybackStall) {
  InStepPlayer player;  // behind an 80 ms device queue, a position every 20 ms
  uint32_t now = 1000;
  EchoConfig config;
  config.clock = [&now] { return now; };
  auto* out = new KeepSink(kRate, 1);
  EchoSuppressor es(&player, config);
  es.setDownstream(SinkRef(out));
  constexpr size_t kSeconds = 6, kQueue = 640, kEcho = kQueue + 240;
  const auto far = speechLike(kRate * kSeconds, 11, 300000, {{0, kSeconds}});
  const auto noise = speechLike(kRate * kSeconds, 12, 3000, {{0, kSeconds}});
  std::vector<int32_t> mic(far.size());
  for (size_t i = 0; i < mic.size(); ++i) mic[i] = (i >= kEcho ? far[i - kEcho] / 2 : 0) + noise[i];
  const size_t stallAt = kRate * 3, stallEnd = stallAt + kRate / 10;
  for (size_t at = 0; at < far.size(); at += 160) {
    now += 20;
    es.farEnd(far.data() + at, 160, static_cast<uint32_t>(at + 160));
    const bool stalled = at >= stallAt && at < stallEnd;
    if (!stalled) {
      player.position = static_cast<uint32_t>(at + 160 > kQueue ? at + 160 - kQueue : 0);
      player.tick = now;
    }
    if (stalled) {
      const std::vector<int32_t> gap(160, 0);
      es.Write(gap.data(), 160);
    } else {
      es.Write(mic.data() + at, 160);
    }
  }
  // What passed in the half second after the stall against the half second before it.
  const auto& got = out->data;
  ASSERT_GE(got.size(), stallEnd + kRate / 2);
  const double before = energyDb(got, 2.5, 3.0) - energyDb(mic, 2.5, 3.0);
  const double after = energyDb(got, 3.1, 3.6) - energyDb(mic, 3.1, 3.6);
  EXPECT_LT(before, -30.0);
  EXPECT_LT(after, -30.0);
}

TEST(EchoSuppressor, KeepsAtLeastABlockBehindTheFarEnd) {
  EchoSuppressor es(nullptr, fixedClock());
  es.setDownstream(makeStream<KeepSink>(kRate, 1));
  std::vector<int32_t> far(100, 0);
  es.farEnd(far.data(), 100, 100);
  std::vector<int32_t> mic(160, 0);
  es.Write(mic.data(), 160);
  // Pulled back to 100 - 160 - 79 (wrapping below 0), then advanced by the 160 written.
  EXPECT_EQ(es.alignment(), 21u);
  es.farEnd(far.data(), 100, 200);
  es.Write(mic.data(), 10);  // 179 behind: far enough, only the write's advance
  EXPECT_EQ(es.alignment(), 31u);
}

TEST(EchoSuppressor, StoresAndLoadsTheLearnedValues) {
  platform::testing::TempDir dir;
  base::SettingsStore store(dir.file("settings.ini"), dir.file("machine.ini"));
  EchoLearned first;
  {
    auto es = makeStream<EchoSuppressor>(nullptr, loadEchoConfig(store));
    es->setDownstream(makeStream<KeepSink>(kRate, 1));
    const auto far = speechLike(16000, 8, 300000, {{0, 2}});
    std::vector<int32_t> mic(16000);
    for (size_t i = 0; i < mic.size(); ++i) mic[i] = i >= 800 ? far[i - 800] / 4 : 0;
    feed(*es, far, mic, 160);
    first = es->learned();
  }  // stored here (the key names are read back in tests/e2e)
  auto again = makeStream<EchoSuppressor>(nullptr, loadEchoConfig(store));
  const EchoLearned loaded = again->learned();
  for (size_t b = 0; b < 3; ++b) {
    EXPECT_EQ(loaded.echo[b], first.echo[b]);
    EXPECT_EQ(again->coupling(static_cast<uint32_t>(b), 31), static_cast<uint32_t>(first.echo[b]));
    // The floor is kept divided by 512 and restored times 512: only the low bits go.
    EXPECT_EQ(loaded.noiseGate[b], first.noiseGate[b]);
  }
  store.writeInt("SIP", "EchoCancellation", 0);
  EXPECT_FALSE(loadEchoConfig(store).fastAdaptation);
}

}  // namespace
}  // namespace quillet::audio
