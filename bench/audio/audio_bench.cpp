// SPDX-License-Identifier: Apache-2.0
// Cost of the audio filters per second of audio: the resamplers (playback side, 63 taps;
// capture side, 15 taps), the echo suppressor and AutoGain. "x_realtime" is how many
// seconds of audio one second of CPU processes.
#include <benchmark/benchmark.h>

#include <vector>

#include "audio/auto_gain.h"
#include "audio/converters.h"
#include "audio/echo_suppressor.h"
#include "audio/test_streams.h"

namespace quillet::audio {
namespace {

using teststreams::ArraySource;
using teststreams::KeepSink;

// A sink that only counts, so that the filter's own work is measured.
class CountSink : public AudioSink {
 public:
  CountSink(uint32_t rate, uint32_t channels) : AudioSink(rate, channels) {}
  void Write(const int32_t* samples, uint32_t frames) override {
    position_ += frames;
    benchmark::DoNotOptimize(samples);
  }
};

void perSecond(benchmark::State& state) {
  state.counters["x_realtime"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// One second of output read from the playback-side resampler.
void BM_ResamplingSource(benchmark::State& state) {
  const auto from = static_cast<uint32_t>(state.range(0));
  const auto to = static_cast<uint32_t>(state.range(1));
  auto* src = new ArraySource(from, 1, teststreams::sine(1000, from, from * 2, 200000));
  SourceRef rs = MakeResamplingSource(to, SourceRef(src));
  std::vector<int32_t> out(to);
  for (auto _ : state) {
    src->pos = 0;
    rs->Seek(0);
    for (uint32_t at = 0; at < to; at += to / 10) rs->Read(out.data(), to / 10);  // 100 ms blocks
    benchmark::DoNotOptimize(out.data());
  }
  perSecond(state);
}
BENCHMARK(BM_ResamplingSource)
    ->Args({44100, 8000})
    ->Args({8000, 44100})
    ->Args({16000, 8000})
    ->Args({22050, 8000})
    ->Args({8000, 48000});

// One second of input written into the capture-side resampler in 20 ms blocks.
void BM_ResamplingSink(benchmark::State& state) {
  const auto from = static_cast<uint32_t>(state.range(0));
  const auto to = static_cast<uint32_t>(state.range(1));
  const auto in = teststreams::sine(1000, from, from, 200000);
  SinkRef head = MakeResamplingSink(from, makeStream<CountSink>(to, 1));
  const uint32_t block = from / 50;
  for (auto _ : state) {
    for (uint32_t at = 0; at + block <= from; at += block) head->Write(in.data() + at, block);
  }
  perSecond(state);
}
BENCHMARK(BM_ResamplingSink)->Args({44100, 8000})->Args({22050, 8000})->Args({8000, 44100});

// One second of microphone and far end through the echo suppressor in 20 ms blocks.
void BM_EchoSuppressor(benchmark::State& state) {
  const auto far = teststreams::sine(440, 8000, 8000, 200000);
  const auto mic = teststreams::sine(700, 8000, 8000, 50000);
  EchoConfig config;
  config.clock = [] { return uint32_t{0}; };
  auto es = makeStream<EchoSuppressor>(nullptr, config);
  es->setDownstream(makeStream<CountSink>(8000, 1));
  uint32_t pos = 0;
  for (auto _ : state) {
    for (uint32_t at = 0; at < 8000; at += 160) {
      pos += 160;
      es->farEnd(far.data() + at, 160, pos);
      es->Write(mic.data() + at, 160);
    }
  }
  perSecond(state);
}
BENCHMARK(BM_EchoSuppressor);

// One second of 8000 Hz mono (and 44100 Hz stereo) through AutoGain in 20 ms blocks.
void BM_AutoGain(benchmark::State& state) {
  const auto rate = static_cast<uint32_t>(state.range(0));
  const auto channels = static_cast<uint32_t>(state.range(1));
  const auto in = teststreams::sine(700, rate, static_cast<size_t>(rate) * channels, 50000);
  AutoGain agc(makeStream<CountSink>(rate, channels));
  const uint32_t block = rate / 50;
  for (auto _ : state) {
    for (uint32_t at = 0; at + block <= rate; at += block) {
      agc.Write(in.data() + static_cast<size_t>(at) * channels, block);
    }
  }
  perSecond(state);
}
BENCHMARK(BM_AutoGain)->Args({8000, 1})->Args({44100, 2});

}  // namespace
}  // namespace quillet::audio
