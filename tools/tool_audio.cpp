// SPDX-License-Identifier: Apache-2.0
// quillet-tool audio: runs the program's filters on WAV files so that they can be measured
// from outside (resample, agc, echo, denoise); devices, play and record are handed to
// tool_audio_device.cpp.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "audio/auto_gain.h"
#include "audio/converters.h"
#include "audio/echo_suppressor.h"
#include "audio/level_meter.h"
#include "audio/noise_suppressor.h"
#include "audio/resampler.h"
#include "audio/wave_file.h"
#include "tool.h"
#include "wav_io.h"

namespace quillet::tool {

namespace {

using audio::SinkRef;
using audio::SourceRef;

constexpr const char* kUsage =
    "usage: quillet-tool audio resample IN.wav OUT.wav RATE [--capture]\n"
    "       quillet-tool audio agc IN.wav OUT.wav\n"
    "       quillet-tool audio echo MIC.wav FAR.wav OUT.wav [--slow]\n"
    "       quillet-tool audio denoise IN.wav OUT.wav\n"
    "       quillet-tool audio devices|play|record ...\n"
    "  resample: the playback-side resampler (63 taps, two stages below a quarter of the\n"
    "  rate), or with --capture the capture-side one (15 taps). agc: AutoGain. echo: the\n"
    "  echo suppressor on 8000 Hz mono files, the far end played in step with the\n"
    "  microphone (position = sample index); --slow grows couplings by 1/64 per step.\n"
    "  denoise: the noise suppressor on an 8000 Hz mono file, in 20 ms blocks as captured.\n"
    "  Input WAVs are PCM of 1..16 bits; output is 16-bit PCM. A JSON summary goes to stdout.";

const char* errorText(audio::StreamError e) {
  switch (e) {
    case audio::StreamError::kCannotOpen:
      return "cannot be opened";
    case audio::StreamError::kNotWave:
      return "is not a readable RIFF/WAVE file";
    case audio::StreamError::kUnsupported:
      return "has a format that is not supported (PCM of 1..16 bits, 1..196000 Hz)";
    default:
      return "cannot be used";
  }
}

// Opens a WAV with the program's own reader.
bool openInput(const std::string& path, SourceRef& out, std::string& error) {
  out = audio::OpenWaveFile(path);
  if (out.isNull()) {
    error = path + " " + errorText(out->error());
    return false;
  }
  return true;
}

// Reads every frame of a finished source.
std::vector<int32_t> readAll(const SourceRef& s, uint32_t frames) {
  std::vector<int32_t> v(static_cast<size_t>(frames) * s->channels());
  uint32_t at = 0;
  while (at < frames) {
    const uint32_t n = std::min<uint32_t>(frames - at, 8192);
    s->Read(v.data() + static_cast<size_t>(at) * s->channels(), n);
    at += n;
  }
  return v;
}

std::vector<int16_t> toPcm16(const std::vector<int32_t>& v) {
  std::vector<int16_t> out(v.size());
  for (size_t i = 0; i < v.size(); ++i) {
    out[i] = static_cast<int16_t>(std::clamp((v[i] + 8) >> 4, -32768, 32767));
  }
  return out;
}

bool writeOutput(const std::string& path, uint32_t rate, uint32_t channels,
                 const std::vector<int32_t>& samples, std::string& error) {
  return writeWav(path, rate, static_cast<uint16_t>(channels), toPcm16(samples), error);
}

int blockPeakDb(const std::vector<int32_t>& v) {
  return audio::peakLevel(v.data(), static_cast<uint32_t>(v.size()), 1, 0);
}

class Collect : public audio::AudioSink {
 public:
  Collect(uint32_t rate, uint32_t channels) : AudioSink(rate, channels) {}
  void Write(const int32_t* samples, uint32_t frames) override {
    position_ += frames;
    data.insert(data.end(), samples, samples + static_cast<size_t>(frames) * channels_);
  }
  std::vector<int32_t> data;
};

bool parseRate(const std::string& text, uint32_t& rate) {
  if (text.empty() || text.size() > 6 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  rate = static_cast<uint32_t>(std::stoul(text));
  return rate >= 1 && rate <= 196000;
}

int resample(const Args& args) {
  if (args.size() < 4 || args.size() > 5 || (args.size() == 5 && args[4] != "--capture")) {
    return usageError(kUsage);
  }
  uint32_t rate = 0;
  if (!parseRate(args[3], rate)) return usageError("RATE must be 1..196000");
  const bool capture = args.size() == 5;
  SourceRef in;
  std::string error;
  if (!openInput(args[1], in, error)) return rejected(error);
  const uint32_t frames = in->Length();
  const uint32_t channels = in->channels();
  if (channels > 2) return rejected(args[1] + ": the resampler takes 1 or 2 channels");
  std::vector<int32_t> out;
  double actualRate = rate;
  if (capture) {
    auto* collect = new Collect(rate, channels);
    SinkRef sink(collect);
    SinkRef head = audio::MakeResamplingSink(in->rate(), sink);
    if (auto* rs = dynamic_cast<audio::ResamplingSink*>(head.get())) {
      actualRate = static_cast<double>(in->rate()) * rs->table().phases / rs->table().step;
    }
    const auto all = readAll(in, frames);
    for (uint32_t at = 0; at < frames; at += 160) {  // 20 ms blocks at 8000 Hz, as captured
      const uint32_t n = std::min<uint32_t>(160, frames - at);
      head->Write(all.data() + static_cast<size_t>(at) * channels, n);
    }
    head->Seek(frames);  // brings the filter's tail out
    out = collect->data;
  } else {
    SourceRef head = audio::MakeResamplingSource(rate, in);
    actualRate = in->rate();
    for (SourceRef s = head; auto* rs = dynamic_cast<audio::ResamplingSource*>(s.get());
         s = rs->wrapped()) {
      actualRate = actualRate * rs->table().phases / rs->table().step;
    }
    const auto n = static_cast<uint32_t>(static_cast<uint64_t>(frames) * rate / in->rate());
    out = readAll(head, n);
  }
  if (!writeOutput(args[2], rate, channels, out, error)) return rejected(error);
  nlohmann::json j = {{"input", {{"rate", in->rate()}, {"channels", channels}, {"frames", frames}}},
                      {"output", {{"rate", rate}, {"frames", out.size() / channels}}},
                      {"effective_rate", actualRate},
                      {"resampler", capture ? "capture (15 taps)" : "playback (63 taps)"}};
  std::printf("%s\n", j.dump().c_str());
  return kExitOk;
}

int agc(const Args& args) {
  if (args.size() != 3) return usageError(kUsage);
  SourceRef in;
  std::string error;
  if (!openInput(args[1], in, error)) return rejected(error);
  const uint32_t frames = in->Length();
  const uint32_t channels = in->channels();
  const auto all = readAll(in, frames);
  auto* collect = new Collect(in->rate(), channels);
  audio::AutoGain gain{SinkRef(collect)};
  const uint32_t block = std::max<uint32_t>(1, in->rate() / 50);  // 20 ms, as captured
  for (uint32_t at = 0; at < frames; at += block) {
    gain.Write(all.data() + static_cast<size_t>(at) * channels, std::min(block, frames - at));
  }
  if (!writeOutput(args[2], in->rate(), channels, collect->data, error)) return rejected(error);
  nlohmann::json j = {{"rate", in->rate()},
                      {"channels", channels},
                      {"frames", frames},
                      {"input_peak_db", blockPeakDb(all)},
                      {"output_peak_db", blockPeakDb(collect->data)},
                      {"final_gain_db", 20.0 * std::log10(gain.gain() / 16777216.0)}};
  std::printf("%s\n", j.dump().c_str());
  return kExitOk;
}

// The far end sounds as soon as it is read: the play position is the sample index.
class InStep : public audio::PlayPosition {
 public:
  uint32_t playPosition() const override { return position; }
  uint32_t playPositionTick() const override { return 0; }
  uint32_t playRate() const override { return 8000; }
  uint32_t position = 0;
};

int echo(const Args& args) {
  if (args.size() < 4 || args.size() > 5 || (args.size() == 5 && args[4] != "--slow")) {
    return usageError(kUsage);
  }
  SourceRef mic;
  SourceRef far;
  std::string error;
  if (!openInput(args[1], mic, error) || !openInput(args[2], far, error)) return rejected(error);
  for (const SourceRef* s : {&mic, &far}) {
    if ((*s)->rate() != 8000 || (*s)->channels() != 1) {
      return rejected("the echo suppressor takes 8000 Hz mono files");
    }
  }
  const uint32_t frames = mic->Length();
  const auto micSamples = readAll(mic, frames);
  const auto farSamples = readAll(far, frames);  // zeros past the far file's end
  InStep player;
  audio::EchoConfig config;
  config.fastAdaptation = args.size() != 5;
  config.clock = [] { return uint32_t{0}; };
  auto* collect = new Collect(8000, 1);
  auto es = audio::makeStream<audio::EchoSuppressor>(&player, config);
  es->setDownstream(SinkRef(collect));
  for (uint32_t at = 0; at < frames; at += 160) {
    const uint32_t n = std::min<uint32_t>(160, frames - at);
    player.position = at + n;
    es->farEnd(farSamples.data() + at, n, at + n);
    es->Write(micSamples.data() + at, n);
  }
  // The last block may still be held back: pad with silence until it is out.
  std::vector<int32_t> pad(80, 0);
  while (collect->data.size() < frames) es->Write(pad.data(), 80);
  collect->data.resize(frames);
  if (!writeOutput(args[3], 8000, 1, collect->data, error)) return rejected(error);
  const audio::EchoLearned l = es->learned();
  nlohmann::json j = {{"frames", frames},
                      {"noise_gate", {l.noiseGate[0], l.noiseGate[1], l.noiseGate[2]}},
                      {"echo", {l.echo[0], l.echo[1], l.echo[2]}}};
  std::printf("%s\n", j.dump().c_str());
  return kExitOk;
}

double cpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

int denoise(const Args& args) {
  if (args.size() != 3) return usageError(kUsage);
  SourceRef in;
  std::string error;
  if (!openInput(args[1], in, error)) return rejected(error);
  if (in->rate() != static_cast<int32_t>(audio::NoiseSuppressor::kRate) || in->channels() != 1) {
    return rejected("the noise suppressor takes 8000 Hz mono files");
  }
  const uint32_t frames = in->Length();
  auto all = readAll(in, frames);
  auto* collect = new Collect(8000, 1);
  audio::NoiseSuppressingSink sink{SinkRef(collect)};
  const uint32_t block = audio::NoiseSuppressor::kFrame;
  const uint32_t whole = (frames + block - 1) / block * block;
  all.resize(whole, 0);  // the last block made whole with silence
  const double start = cpuSeconds();
  for (uint32_t at = 0; at < whole; at += block) sink.Write(all.data() + at, block);
  const double cpu = cpuSeconds() - start;
  collect->data.resize(frames);
  if (!writeOutput(args[2], 8000, 1, collect->data, error)) return rejected(error);
  const double seconds = frames / 8000.0;
  nlohmann::json j = {{"frames", frames},
                      {"cpu_ms", cpu * 1000.0},
                      {"cpu_ms_per_second", seconds > 0 ? cpu * 1000.0 / seconds : 0.0}};
  std::printf("%s\n", j.dump().c_str());
  return kExitOk;
}

}  // namespace

int runAudio(const Args& args) {
  if (args.empty()) return usageError(kUsage);
  const std::string& cmd = args[0];
  if (cmd == "devices" || cmd == "play" || cmd == "record") return runAudioDevice(args);
  if (cmd == "resample") return resample(args);
  if (cmd == "agc") return agc(args);
  if (cmd == "echo") return echo(args);
  if (cmd == "denoise") return denoise(args);
  return usageError(kUsage);
}

}  // namespace quillet::tool
