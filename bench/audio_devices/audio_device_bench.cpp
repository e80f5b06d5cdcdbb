// SPDX-License-Identifier: Apache-2.0
// Device-side audio figures: capture-to-sink and source-to-device latency on ALSA (the
// paced test PCM, 22050 Hz mono, stands in for a card), and the CPU a running Recorder +
// Player pair uses (microphone into a pipe, pipe to the speaker, as in a call).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "audio/audio_pipe.h"
#include "audio/player.h"
#include "audio/recorder.h"
#include "audio/recorder_test_util.h"

namespace quillet::audio {
namespace {

using namespace quillet::audio::testing;
using Clock = std::chrono::steady_clock;

bool haveTestAlsa() {
#ifdef QUILLET_TEST_ALSA_CONF
  static const bool ok = [] {
    struct stat st {};
    if (stat(QUILLET_TEST_ALSA_CONF, &st) != 0) return false;
    setenv("ALSA_CONFIG_PATH", "/usr/share/alsa/alsa.conf:" QUILLET_TEST_ALSA_CONF, 1);
    return true;
  }();
  return ok;
#else
  return false;
#endif
}

double cpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
         (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void runLoop(platform::PlainMessageLoop& loop, int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    loop.runPending();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// A sink that notes, for every block, how long after its last frame was due it arrived.
class TimingSink : public AudioSink {
 public:
  TimingSink(uint32_t rate, Clock::time_point start) : AudioSink(rate, 1), start_(start) {}
  void Write(const int32_t*, uint32_t frames) override {
    position_ += frames;
    const double due = static_cast<double>(position_) / rate_;
    const double now = std::chrono::duration<double>(Clock::now() - start_).count();
    std::lock_guard lock(mutex_);
    lags_.push_back(now - due);
  }
  std::vector<double> lags() {
    std::lock_guard lock(mutex_);
    return lags_;
  }

 private:
  Clock::time_point start_;
  std::mutex mutex_;
  std::vector<double> lags_;
};

// Capture to sink: a block's first frame is recorded one block (20 ms) before the block is
// complete; the figure adds the delivery delay measured after that.
void BM_AlsaCaptureToSinkLatency(benchmark::State& state) {
  if (!haveTestAlsa()) {
    state.SkipWithError("the paced test PCM is not built");
    return;
  }
  for (auto _ : state) {
    platform::PlainMessageLoop loop;
    Recorder rec(loop);
    rec.SetDevice("quillet_paced", 0);
    auto* sink = new TimingSink(22050, Clock::now());
    SinkRef ref(sink);
    rec.Start(ref, 0, kSilenceDb, 216000000, Recorder::kBeginStreaming);
    runLoop(loop, 1000);
    rec.Stop();
    auto lags = sink->lags();
    if (lags.size() < 10) continue;
    // The device starts a little after Start: measure against the earliest block.
    const double base = *std::min_element(lags.begin(), lags.end());
    double sum = 0, worst = 0;
    for (double l : lags) sum += l - base, worst = std::max(worst, l - base);
    const double blockMs = captureFramesPerBlock(22050) * 1000.0 / 22050;
    state.counters["block_ms"] = blockMs;
    state.counters["blocks"] = static_cast<double>(lags.size());
    state.counters["latency_first_frame_mean_ms"] = blockMs + 1000 * sum / lags.size();
    state.counters["latency_first_frame_max_ms"] = blockMs + 1000 * worst;
  }
}
BENCHMARK(BM_AlsaCaptureToSinkLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Source to device: a live source fed 20 ms at a time in real time (as the receive side
// fills its pipe); the latency of a chunk is the time from its arrival until the Player
// reports the block holding it as heard.
void BM_AlsaSourceToDeviceLatency(benchmark::State& state) {
  if (!haveTestAlsa()) {
    state.SkipWithError("the paced test PCM is not built");
    return;
  }
  for (auto _ : state) {
    platform::PlainMessageLoop loop;
    Player player(loop);
    player.SetDevice("quillet_paced");
    auto* live = new LiveSource(22050, 1);
    SourceRef src(live);
    const uint32_t chunk = 441;
    std::vector<Clock::time_point> pushed;
    live->push(std::vector<int32_t>(chunk, 1600));
    pushed.push_back(Clock::now());
    player.Start(src);
    const auto start = Clock::now();
    size_t heard = 0;
    double sum = 0, worst = 0;
    while (Clock::now() - start < std::chrono::milliseconds(1500)) {
      const auto due = start + std::chrono::milliseconds(20 * pushed.size());
      while (Clock::now() < due) {
        const uint32_t pos = player.playPosition();
        while (heard < pushed.size() && (heard + 1) * chunk <= pos) {
          const double lat = std::chrono::duration<double>(Clock::now() - pushed[heard]).count();
          sum += lat, worst = std::max(worst, lat), ++heard;
        }
        loop.runPending();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      live->push(std::vector<int32_t>(chunk, 1600));
      pushed.push_back(Clock::now());
    }
    player.Stop();
    if (heard == 0) continue;
    state.counters["block_ms_max"] = playbackFramesPerBlock(22050) * 1000.0 / 22050;
    state.counters["chunks_heard"] = static_cast<double>(heard);
    state.counters["latency_mean_ms"] = 1000 * sum / heard;
    state.counters["latency_max_ms"] = 1000 * worst;
  }
}
BENCHMARK(BM_AlsaSourceToDeviceLatency)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A Recorder (microphone) writing into a pipe that a Player (speaker) plays, as in a call;
// range(0) = 1: a 22050 Hz stereo file microphone resampled to 8000 Hz mono; 0: null
// devices at 8000 Hz. CPU of the whole process over 2 s of wall time.
void BM_RecorderPlayerPairCpu(benchmark::State& state) {
  TempDir dir;
  std::string mic = "null";
  if (state.range(0) == 1) {
    mic = "file:" + dir.file("mic.wav");
    writeWav(dir.file("mic.wav"), 22050, 2, sine(22050, 2, 22050 * 3, 440, 8000));
  }
  for (auto _ : state) {
    platform::PlainMessageLoop loop;
    Recorder rec(loop);
    Player player(loop);
    rec.SetDevice(mic, 0);
    player.SetDevice("null");
    PipeRef pipe = CreatePipe(8000, 1, kProgramPeakRange);
    rec.Start(OpenWriter(pipe), 0, kSilenceDb, 216000000, Recorder::kBeginStreaming);
    player.Start(OpenReader(pipe));
    const double cpu0 = cpuSeconds();
    const auto t0 = Clock::now();
    runLoop(loop, 2000);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    state.counters["cpu_percent_of_one_core"] = 100 * (cpuSeconds() - cpu0) / wall;
    rec.Stop();
    player.Stop();
  }
}
BENCHMARK(BM_RecorderPlayerPairCpu)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace quillet::audio
