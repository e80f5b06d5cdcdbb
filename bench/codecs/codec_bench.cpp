// SPDX-License-Identifier: Apache-2.0
// Encode and decode speed of every codec, and of libgsm and spandsp on the same input.
// The counter "x_realtime" is audio seconds processed per second of CPU.
#include <benchmark/benchmark.h>

extern "C" {
#include <gsm.h>
}

#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <vector>

#include "codecs/audio_codec.h"

// spandsp last: its headers define math macros, and depend on each other in this order.
// clang-format off
#include <spandsp/telephony.h>
#include <spandsp/bit_operations.h>
#include <spandsp/bitstream.h>
#include <spandsp/g711.h>
#include <spandsp/g726.h>
// clang-format on

namespace {

using quillet::codecs::CodecId;

constexpr int kFrames = 100;  // two seconds of audio per iteration

// Speech-like input: a few harmonics with a wandering pitch, and noise.
const std::vector<int16_t>& pcm() {
  static const std::vector<int16_t> samples = [] {
    std::vector<int16_t> out(kFrames * 160);
    uint32_t seed = 99;
    double phase = 0;
    for (size_t i = 0; i < out.size(); ++i) {
      const double pitch = 120 + 40 * std::sin(i / 4000.0);
      phase += 2 * std::numbers::pi * pitch / 8000;
      seed = seed * 1664525u + 1013904223u;
      const double noise = (static_cast<int>(seed >> 16) - 32768) / 32768.0;
      const double v = 6000 * std::sin(phase) + 3000 * std::sin(3 * phase) +
                       1500 * std::sin(7 * phase) + 800 * noise;
      out[i] = static_cast<int16_t>(std::lround(v));
    }
    return out;
  }();
  return samples;
}

std::vector<int32_t> internal() {
  std::vector<int32_t> out;
  for (int16_t s : pcm()) out.push_back(s * 16);
  return out;
}

void report(benchmark::State& state) {
  const double frames = static_cast<double>(state.iterations()) * kFrames;
  state.counters["x_realtime"] = benchmark::Counter(frames * 0.02, benchmark::Counter::kIsRate);
}

void ourEncode(benchmark::State& state, CodecId id) {
  const std::vector<int32_t> in = internal();
  auto codec = quillet::codecs::createAudioCodec(id);
  std::vector<uint8_t> out(codec->maxEncodedBytes(160));
  for (auto _ : state) {
    for (int f = 0; f < kFrames; ++f) codec->encode(in.data() + 160 * f, 160, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  report(state);
}

void ourDecode(benchmark::State& state, CodecId id) {
  const std::vector<int32_t> in = internal();
  auto codec = quillet::codecs::createAudioCodec(id);
  const int size = quillet::codecs::codecInfo(id).bytesPerFrame;
  std::vector<uint8_t> payload(kFrames * size);
  for (int f = 0; f < kFrames; ++f)
    codec->encode(in.data() + 160 * f, 160, payload.data() + size * f);
  std::vector<int32_t> out(160);
  for (auto _ : state) {
    for (int f = 0; f < kFrames; ++f) codec->decode(payload.data() + size * f, size, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  report(state);
}

BENCHMARK_CAPTURE(ourEncode, pcmu, CodecId::kPcmu);
BENCHMARK_CAPTURE(ourDecode, pcmu, CodecId::kPcmu);
BENCHMARK_CAPTURE(ourEncode, pcma, CodecId::kPcma);
BENCHMARK_CAPTURE(ourDecode, pcma, CodecId::kPcma);
BENCHMARK_CAPTURE(ourEncode, g726_32, CodecId::kG726_32);
BENCHMARK_CAPTURE(ourDecode, g726_32, CodecId::kG726_32);
BENCHMARK_CAPTURE(ourEncode, gsm, CodecId::kGsm);
BENCHMARK_CAPTURE(ourDecode, gsm, CodecId::kGsm);

void libgsmEncode(benchmark::State& state) {
  gsm handle = gsm_create();
  std::vector<int16_t> in = pcm();
  uint8_t out[33];
  for (auto _ : state) {
    for (int f = 0; f < kFrames; ++f) gsm_encode(handle, in.data() + 160 * f, out);
    benchmark::DoNotOptimize(out);
  }
  gsm_destroy(handle);
  report(state);
}

void libgsmDecode(benchmark::State& state) {
  gsm handle = gsm_create();
  std::vector<int16_t> in = pcm();
  std::vector<uint8_t> payload(kFrames * 33);
  for (int f = 0; f < kFrames; ++f)
    gsm_encode(handle, in.data() + 160 * f, payload.data() + 33 * f);
  int16_t out[160];
  for (auto _ : state) {
    for (int f = 0; f < kFrames; ++f) gsm_decode(handle, payload.data() + 33 * f, out);
    benchmark::DoNotOptimize(out);
  }
  gsm_destroy(handle);
  report(state);
}

BENCHMARK(libgsmEncode);
BENCHMARK(libgsmDecode);

void spandspG726Encode(benchmark::State& state) {
  g726_state_t* s = g726_init(nullptr, 32000, G726_ENCODING_LINEAR, G726_PACKING_LEFT);
  std::vector<int16_t> in = pcm();
  uint8_t out[80];
  for (auto _ : state) {
    for (int f = 0; f < kFrames; ++f) g726_encode(s, out, in.data() + 160 * f, 160);
    benchmark::DoNotOptimize(out);
  }
  g726_free(s);
  report(state);
}

void spandspG726Decode(benchmark::State& state) {
  g726_state_t* s = g726_init(nullptr, 32000, G726_ENCODING_LINEAR, G726_PACKING_LEFT);
  std::vector<int16_t> in = pcm();
  std::vector<uint8_t> payload(kFrames * 80);
  for (int f = 0; f < kFrames; ++f)
    g726_encode(s, payload.data() + 80 * f, in.data() + 160 * f, 160);
  g726_init(s, 32000, G726_ENCODING_LINEAR, G726_PACKING_LEFT);
  int16_t out[160];
  for (auto _ : state) {
    for (int f = 0; f < kFrames; ++f) g726_decode(s, out, payload.data() + 80 * f, 80);
    benchmark::DoNotOptimize(out);
  }
  g726_free(s);
  report(state);
}

void spandspUlawEncode(benchmark::State& state) {
  std::vector<int16_t> in = pcm();
  uint8_t out[160];
  for (auto _ : state) {
    for (int f = 0; f < kFrames; ++f) {
      for (int i = 0; i < 160; ++i) out[i] = linear_to_ulaw(in[160 * f + i]);
      benchmark::DoNotOptimize(out);
    }
  }
  report(state);
}

void spandspUlawDecode(benchmark::State& state) {
  std::vector<uint8_t> in;
  for (int16_t s : pcm()) in.push_back(linear_to_ulaw(s));
  int16_t out[160];
  for (auto _ : state) {
    for (int f = 0; f < kFrames; ++f) {
      for (int i = 0; i < 160; ++i) out[i] = ulaw_to_linear(in[160 * f + i]);
      benchmark::DoNotOptimize(out);
    }
  }
  report(state);
}

BENCHMARK(spandspG726Encode);
BENCHMARK(spandspG726Decode);
BENCHMARK(spandspUlawEncode);
BENCHMARK(spandspUlawDecode);

}  // namespace
