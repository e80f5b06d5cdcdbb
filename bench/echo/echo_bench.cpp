// SPDX-License-Identifier: Apache-2.0
// Echo control measured on a simulated hands-free desk at 8000 Hz, or with --rate 16000 at
// the rate of a wideband call (every stage at 16000 Hz): the far end's speech
// played into a room (an impulse response of 300 ms reverberation after 40 ms of device
// latency and a direct path), background noise, and the near end talking over it.
//
// Timeline: 0-8 s far end only, 8-12 s both talk, 12-16 s near end only. Figures:
//   ERLE      echo return loss enhancement over 4-8 s (far end only, converged)
//   start     the same over the first 1.5 s of a call on a new profile (nothing learned)
//   conv      time from the start until the 250 ms ERLE first holds >= 10 dB for 1 s
//   DT near   level change of the near end's speech in double talk (output against the
//             near end's own signal over its active frames; 0 dB = untouched)
//   DT echo   echo left in double talk, below the echo itself: the output less the output of
//             the same run without the echo in the microphone
//             (the output taken the processing's delay later)
//   NE only   the same with the far end silent (12-16 s)
//   split     double talk again on a scene whose far end is above 2 kHz and whose near end
//             is below 900 Hz: the echo left in the far end's band, below the echo, and
//             the near end's level in its band. Unlike DT echo this holds for processing
//             that changes the near end with the echo (a residual echo suppressor): there
//             the difference of two runs counts what it took off the near end as echo.
//   delay     the processing's own delay, found where the near end alone matches best
//   CPU       processing time per second of audio
// Configurations: the ceiling (the echo taken out exactly), the product's EchoControl with the
// suppressor alone and with the speexdsp canceller in front of it, each also with the noise
// suppressor (the canceller, noise suppressor and suppressor together are the program's default),
// and the speexdsp and webrtc-audio-processing cancellers alone.
#include <speex/speex_echo.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "audio/echo_control.h"
#include "platform/tick.h"

#ifdef QUILLET_HAVE_WEBRTC_APM
#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>
#endif

namespace {

using namespace quillet::audio;

constexpr int kSeconds = 16;
// The rate's figures (set from the command line).
int gRate = 8000;
int gTotal = gRate * kSeconds;
int gBlock = gRate / 50;           // 20 ms
int gLatency = gRate * 40 / 1000;  // playback + capture latency of the devices

void setRate(int rate) {
  gRate = rate;
  gTotal = gRate * kSeconds;
  gBlock = gRate / 50;
  gLatency = gRate * 40 / 1000;
}

// Speech-like signal: a glottal pulse train (pitch gliding between 90 and 220 Hz) through
// two formant resonances that move every 80 ms, with some breath noise, in syllables of
// 100-250 ms with short pauses, and a longer pause after every seventh syllable.
std::vector<double> speechLike(uint32_t seed, double level) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::uniform_real_distribution<double> uni(0.0, 1.0);
  std::vector<double> out(gTotal, 0.0);
  double a1 = 0, a2 = 0, b1 = 0, b2 = 0;
  double f1 = 500, f2 = 1500, pitch = 120, phase = 0;
  int syllable = 0, left = 0;
  bool voiced = false;
  for (int n = 0; n < gTotal; ++n) {
    if (n % (gRate * 8 / 100) == 0) {
      f1 = 300 + 600 * uni(rng);
      f2 = 900 + 1800 * uni(rng);
      pitch = 90 + 130 * uni(rng);
    }
    if (left-- <= 0) {
      voiced = !voiced;
      left = static_cast<int>(gRate * (voiced ? 0.10 + 0.15 * uni(rng) : 0.04 + 0.08 * uni(rng)));
      if (!voiced && ++syllable % 7 == 0) left += gRate / 2;
    }
    phase += pitch / gRate;
    double x = 0.1 * noise(rng);
    if (phase >= 1) {
      phase -= 1;
      x += 8.0;
    }
    const double r = 0.93;
    const double w1 = 2 * M_PI * f1 / gRate, w2 = 2 * M_PI * f2 / gRate;
    const double a = x + 2 * r * std::cos(w1) * a1 - r * r * a2;
    a2 = a1;
    a1 = a;
    const double b = a + 2 * r * std::cos(w2) * b1 - r * r * b2;
    b2 = b1;
    b1 = b;
    out[n] = voiced ? b : 0.0;
  }
  double e = 0;
  int active = 0;
  for (double v : out)
    if (v != 0) e += v * v, ++active;
  const double scale = level / std::sqrt(e / std::max(active, 1));
  for (double& v : out) v *= scale;
  return out;
}

// Room impulse response: the direct path after the device latency, then a diffuse tail
// decaying by 60 dB in 300 ms.
std::vector<double> roomResponse(double gain) {
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0.0, 1.0);
  const int length = gLatency + gRate * 350 / 1000;
  std::vector<double> h(length, 0.0);
  // The direct path 2 ms after the latency, the tail from 5 ms; the tail's taps are as
  // loud in sum at either rate.
  const int direct = gLatency + gRate / 500, tail = gLatency + gRate / 200;
  h[direct] = 1.0;
  const double tau = 0.300 / 6.9 * gRate;
  const double spread = 0.25 * std::sqrt(8000.0 / gRate);
  for (int n = tail; n < length; ++n) h[n] += spread * noise(rng) * std::exp(-(n - tail) / tau);
  double e = 0;
  for (double v : h) e += v * v;
  for (double& v : h) v *= gain / std::sqrt(e);
  return h;
}

// A fourth-order Butterworth high or low pass (two biquads).
std::vector<double> filtered(std::vector<double> x, double corner, bool high) {
  const double w = 2 * M_PI * corner / gRate, c = std::cos(w);
  for (const double q : {0.5412, 1.3066}) {
    const double alpha = std::sin(w) / (2 * q), a0 = 1 + alpha;
    const double b0 = (high ? (1 + c) : (1 - c)) / 2 / a0, b1 = (high ? -2 * b0 : 2 * b0);
    const double a1 = -2 * c / a0, a2 = (1 - alpha) / a0;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (double& v : x) {
      const double y = b0 * v + b1 * x1 + b0 * x2 - a1 * y1 - a2 * y2;
      x2 = x1, x1 = v, y2 = y1, y1 = y, v = y;
    }
  }
  return x;
}

constexpr double kFarBand = 2000, kNearBand = 900;  // the split scene's bands (Hz)

struct Scene {
  std::vector<double> far, near, echo, noise, mic;
};

Scene makeScene(bool split) {
  Scene s;
  s.far = speechLike(1, 4000);
  s.near = speechLike(2, 3000);
  if (split) {
    s.far = filtered(s.far, kFarBand, true);
    s.near = filtered(s.near, kNearBand, false);
  }
  for (int n = 0; n < gTotal; ++n) {
    if (n < 8 * gRate) s.near[n] = 0;   // far end only
    if (n >= 12 * gRate) s.far[n] = 0;  // near end only
  }
  const auto h = roomResponse(0.5);  // -6 dB: a loud speakerphone
  s.echo.assign(gTotal, 0.0);
  for (int n = 0; n < gTotal; ++n) {
    if (s.far[n] == 0) continue;
    for (size_t k = 0; k < h.size() && n + static_cast<int>(k) < gTotal; ++k)
      s.echo[n + k] += s.far[n] * h[k];
  }
  std::mt19937 rng(3);
  std::normal_distribution<double> noise(0.0, 10.0);  // about -70 dBFS
  s.noise.resize(gTotal);
  s.mic.resize(gTotal);
  for (int n = 0; n < gTotal; ++n) {
    s.noise[n] = noise(rng);
    s.mic[n] = s.echo[n] + s.near[n] + s.noise[n];
  }
  return s;
}

double energy(const std::vector<double>& x, int from, int to) {
  double e = 1e-9;
  for (int n = from; n < to; ++n) e += x[n] * x[n];
  return e;
}

double db(double ratio) {
  return 10 * std::log10(ratio);
}

// Level change of the near end's speech over its active 20 ms frames.
// The processing's delay in samples: the lag (up to 50 ms) at which the output of the near
// end alone (12-16 s) matches the near end best.
int delayOf(const Scene& s, const std::vector<double>& out) {
  int best = 0;
  double bestSum = -1e300;
  for (int lag = 0; lag <= gRate / 20; ++lag) {
    double sum = 0;
    for (int n = 12 * gRate; n + lag < gTotal; ++n) sum += s.near[n] * out[n + lag];
    if (sum > bestSum) {
      bestSum = sum;
      best = lag;
    }
  }
  return best;
}

// The near end's level change over its active blocks, the output taken `delay` later.
double nearChange(const Scene& s, const std::vector<double>& out, int from, int to, int delay) {
  double eo = 1e-9, en = 1e-9;
  for (int b = from; b + gBlock + delay <= to; b += gBlock) {
    const double e = energy(s.near, b, b + gBlock);
    if (e < gBlock * 1e4) continue;  // a pause
    eo += energy(out, b + delay, b + delay + gBlock);
    en += e;
  }
  return db(eo / en);
}

double convergence(const Scene& s, const std::vector<double>& out) {
  const int window = gRate / 4;
  int heldSince = -1;
  for (int b = 0; b + window <= 8 * gRate; b += gBlock) {
    const double erle = db(energy(s.mic, b, b + window) / energy(out, b, b + window));
    if (energy(s.echo, b, b + window) < window * 1e4) continue;  // a far-end pause
    if (erle >= 10) {
      if (heldSince < 0) heldSince = b;
      if (b - heldSince >= gRate) return static_cast<double>(heldSince) / gRate;
    } else {
      heldSince = -1;
    }
  }
  return -1;
}

// A Player whose position follows what the bench has played.
class BenchPosition : public PlayPosition {
 public:
  uint32_t playPosition() const override { return position; }
  uint32_t playPositionTick() const override { return quillet::platform::tickMs(); }
  uint32_t playRate() const override { return gRate; }
  uint32_t position = 0;
};

// The far end as the Player reads it.
class SceneSource : public AudioSource {
 public:
  explicit SceneSource(const std::vector<double>& far)
      : AudioSource(gRate, 1, kProgramPeakRange), far_(far) {}
  void Read(int32_t* buffer, uint32_t frames) override {
    for (uint32_t i = 0; i < frames; ++i, ++pos_)
      buffer[i] = pos_ < far_.size() ? static_cast<int32_t>(far_[pos_] * 16) : 0;
  }
  uint32_t Position() override { return static_cast<uint32_t>(pos_); }
  uint32_t Length() override { return static_cast<uint32_t>(far_.size()); }

 private:
  const std::vector<double>& far_;
  size_t pos_ = 0;
};

class Collect : public AudioSink {
 public:
  Collect() : AudioSink(gRate, 1) {}
  void Write(const int32_t* samples, uint32_t frames) override {
    for (uint32_t i = 0; i < frames; ++i) out.push_back(samples[i] / 16.0);
    position_ += frames;
  }
  std::vector<double> out;
};

using Processor = std::function<std::vector<double>(const Scene&)>;

std::vector<double> runEchoControl(const Scene& s, bool canceller, bool denoise) {
  BenchPosition position;
  EchoConfig config;
  auto control =
      makeStream<EchoControl>(&position, config, canceller, denoise, static_cast<uint32_t>(gRate));
  auto* sink = new Collect;
  control->setOutput(SinkRef(sink));
  SourceRef far = control->tap(SourceRef(new SceneSource(s.far)));
  std::vector<int32_t> buf(gBlock);
  for (int b = 0; b < gTotal; b += gBlock) {
    far->Read(buf.data(), gBlock);  // what the speaker plays now
    position.position = static_cast<uint32_t>(b + gBlock);
    for (int i = 0; i < gBlock; ++i) buf[i] = static_cast<int32_t>(std::lround(s.mic[b + i] * 16));
    control->Write(buf.data(), gBlock);
  }
  std::vector<double> out = sink->out;
  out.resize(gTotal, 0.0);
  return out;
}

int16_t pcm(double v) {
  return static_cast<int16_t>(std::clamp(std::lround(v), -32768L, 32767L));
}

std::vector<double> runSpeex(const Scene& s) {
  SpeexEchoState* st = speex_echo_state_init(gBlock, gRate * EchoControl::kTailMs / 1000);
  int rate = gRate;
  speex_echo_ctl(st, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
  std::vector<double> out(gTotal);
  std::vector<int16_t> mic(gBlock), ref(gBlock), res(gBlock);
  for (int b = 0; b < gTotal; b += gBlock) {
    for (int i = 0; i < gBlock; ++i) mic[i] = pcm(s.mic[b + i]), ref[i] = pcm(s.far[b + i]);
    speex_echo_cancellation(st, mic.data(), ref.data(), res.data());
    for (int i = 0; i < gBlock; ++i) out[b + i] = res[i];
  }
  speex_echo_state_destroy(st);
  return out;
}

#ifdef QUILLET_HAVE_WEBRTC_APM
std::vector<double> runWebrtc(const Scene& s, bool mobile) {
  webrtc::Config config;
  config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
  config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
  webrtc::AudioProcessing* apm = webrtc::AudioProcessing::Create(config);
  if (mobile) {
    apm->echo_control_mobile()->Enable(true);
  } else {
    apm->echo_cancellation()->Enable(true);
    apm->echo_cancellation()->set_suppression_level(webrtc::EchoCancellation::kModerateSuppression);
  }
  std::vector<double> out(gTotal);
  webrtc::AudioFrame far, near;
  const int frame = gRate / 100;  // 10 ms frames
  for (int b = 0; b < gTotal; b += frame) {
    far.sample_rate_hz_ = near.sample_rate_hz_ = gRate;
    far.samples_per_channel_ = near.samples_per_channel_ = static_cast<size_t>(frame);
    far.num_channels_ = near.num_channels_ = 1;
    for (int i = 0; i < frame; ++i)
      far.data_[i] = pcm(s.far[b + i]), near.data_[i] = pcm(s.mic[b + i]);
    apm->ProcessReverseStream(&far);
    apm->set_stream_delay_ms(40);
    apm->ProcessStream(&near);
    for (int i = 0; i < frame; ++i) out[b + i] = near.data_[i];
  }
  delete apm;
  return out;
}
#endif

std::string decibels(double v) {
  char text[16];
  if (v > 60) return " >60";
  std::snprintf(text, sizeof text, "%4.1f", v);
  return text;
}

void report(const char* name, const Scene& s, const Scene& split, const Processor& run) {
  const auto t0 = std::chrono::steady_clock::now();
  const std::vector<double> out = run(s);
  const double cpu =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / kSeconds;
  Scene dry = s;  // the same talk without the echo in the microphone
  for (int n = 0; n < gTotal; ++n) dry.mic[n] = s.near[n] + s.noise[n];
  const std::vector<double> dryOut = run(dry);
  std::vector<double> leak(gTotal);
  for (int n = 0; n < gTotal; ++n) leak[n] = out[n] - dryOut[n];
  const double erle = db(energy(s.mic, 4 * gRate, 8 * gRate) / energy(out, 4 * gRate, 8 * gRate));
  const double start = db(energy(s.mic, 0, 3 * gRate / 2) / energy(out, 0, 3 * gRate / 2));
  const double dtEcho =
      db(energy(s.echo, 8 * gRate, 12 * gRate) / energy(leak, 8 * gRate, 12 * gRate));
  const double conv = convergence(s, out);
  const int delay = delayOf(s, out);
  const std::vector<double> splitOut = run(split);
  const double splitEcho = db(energy(filtered(split.echo, kFarBand, true), 8 * gRate, 12 * gRate) /
                              energy(filtered(splitOut, kFarBand, true), 8 * gRate, 12 * gRate));
  const double splitNear =
      db(energy(filtered(splitOut, kNearBand, false), 8 * gRate, 12 * gRate) /
         energy(filtered(split.near, kNearBand, false), 8 * gRate, 12 * gRate));
  std::printf(
      "%-38s ERLE %s dB  start %s dB  conv %5s  DT near %+5.1f dB  DT echo %s dB  NE only %+5.1f "
      "dB  split: DT echo %s dB, DT near %+5.1f dB  delay %2d ms  CPU %5.2f ms/s\n",
      name, decibels(erle).c_str(), decibels(start).c_str(),
      conv < 0 ? "never" : (std::to_string(conv).substr(0, 4) + "s").c_str(),
      nearChange(s, out, 8 * gRate, 12 * gRate, delay), decibels(dtEcho).c_str(),
      nearChange(s, out, 12 * gRate, gTotal, delay), decibels(splitEcho).c_str(), splitNear,
      delay * 1000 / gRate, cpu * 1000);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--rate" &&
      (std::string(argv[2]) == "8000" || std::string(argv[2]) == "16000")) {
    setRate(std::stoi(argv[2]));
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: %s [--rate 8000|16000]\n", argv[0]);
    return 2;
  }
  const Scene scene = makeScene(false);
  const Scene split = makeScene(true);
  std::printf("at %d Hz: echo %.1f dB below the far end, noise %.1f dBFS\n", gRate,
              db(energy(scene.echo, 0, 8 * gRate) / energy(scene.far, 0, 8 * gRate)),
              db(energy(scene.noise, 0, gTotal) / gTotal / (32768.0 * 32768.0)));
  // What the figures can reach: the microphone with the echo taken out exactly. The split
  // scene's echo above 2 kHz is weak, and what is left there of the near end and the noise
  // caps its figure (lower at 16000 Hz, where that band is three times as wide).
  report("echo taken out exactly (ceiling)", scene, split, [](const Scene& s) {
    std::vector<double> out(gTotal);
    for (int n = 0; n < gTotal; ++n) out[n] = s.near[n] + s.noise[n];
    return out;
  });
  report("suppressor alone (EchoControl)", scene, split,
         [](const Scene& s) { return runEchoControl(s, false, false); });
  report("suppressor + noise suppressor", scene, split,
         [](const Scene& s) { return runEchoControl(s, false, true); });
  report("canceller + suppressor (EchoControl)", scene, split,
         [](const Scene& s) { return runEchoControl(s, true, false); });
  report("canceller + noise supp. + suppressor", scene, split,
         [](const Scene& s) { return runEchoControl(s, true, true); });
  report("speexdsp canceller alone", scene, split, runSpeex);
#ifdef QUILLET_HAVE_WEBRTC_APM
  report("webrtc AEC (extended filter)", scene, split,
         [](const Scene& s) { return runWebrtc(s, false); });
  report("webrtc AECM (mobile)", scene, split, [](const Scene& s) { return runWebrtc(s, true); });
#endif
  return 0;
}
