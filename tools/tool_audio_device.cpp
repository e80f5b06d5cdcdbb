// SPDX-License-Identifier: Apache-2.0
// quillet-tool audio devices | play FILE.wav [--device NAME] |
//                record OUT.wav --seconds S [--device NAME] [--rate R] [--channels C]
// Lists the sound devices, plays a WAV file through the Player and records through the
// Recorder into a 16-bit WAV file. Output is JSON on standard output.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "audio/player.h"
#include "audio/recorder.h"
#include "audio/wave_file.h"
#include "platform/audio_device.h"
#include "platform/audio_device_wav.h"
#include "platform/message_loop.h"
#include "tool.h"

namespace quillet::tool {
namespace {

using nlohmann::json;

// A sink that appends what the Recorder captures to a WAV file. Seeking back (the trim of
// trailing silence) is not applied: the file keeps everything captured.
class WavSink : public audio::AudioSink {
 public:
  WavSink(uint32_t rate, uint32_t channels) : AudioSink(rate, channels) {}
  bool create(const std::string& path, std::string& error) {
    return file_.create(path, rate_, channels_, error);
  }
  void Write(const int32_t* samples, uint32_t frames) override {
    pcm_.resize(static_cast<size_t>(frames) * channels_);
    for (size_t i = 0; i < pcm_.size(); ++i)
      pcm_[i] = static_cast<int16_t>(std::clamp((samples[i] + 8) >> 4, -32768, 32767));
    if (file_.write(pcm_.data(), frames)) written_ += frames;
    position_ += frames;
  }
  uint64_t written() const { return written_; }

 private:
  platform::WavFileWriter file_;
  std::vector<int16_t> pcm_;
  uint64_t written_ = 0;
};

// Pulls "--name value" out of args (answers false on a missing value).
bool takeOption(Args& args, const std::string& name, std::string& value, bool& bad) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != name) continue;
    if (i + 1 >= args.size()) {
      bad = true;
      return false;
    }
    value = args[i + 1];
    args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
    return true;
  }
  return false;
}

bool parseNumber(const std::string& text, double low, double high, double& out) {
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return !text.empty() && end != nullptr && *end == '\0' && out >= low && out <= high;
}

void print(const json& j) {
  std::printf("%s\n", j.dump(2).c_str());
}

int devices() {
  json out;
  for (bool capture : {true, false}) {
    json list = json::array();
    // The default is PipeWire's when it answers, else ALSA's.
    const platform::AudioDeviceSpec byDefault = platform::resolveAudioDevice("", capture);
    const bool native = byDefault.kind == platform::AudioDeviceSpec::Kind::PipeWire;
    list.push_back({{"name", capture ? platform::kDefaultSoundIn : platform::kDefaultSoundOut},
                    {"pcm", native ? platform::kPipeWireDevice : byDefault.target}});
    for (const auto& d : platform::listAudioDevices(capture))
      list.push_back({{"name", d.name}, {"pcm", d.pcm}});
    out[capture ? "capture" : "playback"] = list;
  }
  print(out);
  return kExitOk;
}

int play(Args args) {
  std::string device;
  bool bad = false;
  takeOption(args, "--device", device, bad);
  if (bad || args.size() != 2) return usageError("usage: audio play FILE.wav [--device NAME]");
  audio::SourceRef source = audio::OpenWaveFile(args[1]);
  if (source.isNull()) {
    std::fprintf(stderr, "quillet-tool: %s is not a playable WAV file\n", args[1].c_str());
    return kExitRejected;
  }
  platform::PlainMessageLoop loop;
  audio::Player player(loop);
  player.SetDevice(device);
  const uint32_t rate = source->rate();
  const uint32_t channels = source->channels();
  const auto t0 = std::chrono::steady_clock::now();
  if (player.Start(source) == 0) {
    std::fprintf(stderr, "quillet-tool: the playback device \"%s\" cannot play %u Hz %u ch\n",
                 device.c_str(), rate, channels);
    return kExitRejected;
  }
  while (player.playing()) {
    loop.runPending();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const auto elapsed = std::chrono::steady_clock::now() - t0;
  print({{"device", device.empty() ? platform::kDefaultSoundOut : device},
         {"rate", rate},
         {"channels", channels},
         {"elapsed_ms", std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()}});
  return kExitOk;
}

int record(Args args) {
  std::string device, secondsText, rateText = "8000", channelsText = "1";
  bool bad = false;
  takeOption(args, "--device", device, bad);
  const bool haveSeconds = takeOption(args, "--seconds", secondsText, bad);
  takeOption(args, "--rate", rateText, bad);
  takeOption(args, "--channels", channelsText, bad);
  double seconds = 0, rate = 0, channels = 0;
  if (bad || args.size() != 2 || !haveSeconds || !parseNumber(secondsText, 0.02, 86400, seconds) ||
      !parseNumber(rateText, 1000, 192000, rate) || !parseNumber(channelsText, 1, 2, channels)) {
    return usageError(
        "usage: audio record OUT.wav --seconds S [--device NAME] [--rate R] [--channels 1|2]");
  }
  auto* wav = new WavSink(static_cast<uint32_t>(rate), static_cast<uint32_t>(channels));
  audio::SinkRef sink(wav);
  std::string error;
  if (!wav->create(args[1], error)) {
    std::fprintf(stderr, "quillet-tool: %s\n", error.c_str());
    return kExitRejected;
  }
  platform::PlainMessageLoop loop;
  audio::Recorder recorder(loop);
  recorder.SetDevice(device, 0);
  if (recorder.Start(sink, 0, audio::kSilenceDb, 216000000, audio::Recorder::kBeginStreaming) ==
      0) {
    std::fprintf(stderr, "quillet-tool: the capture device \"%s\" cannot be opened\n",
                 device.c_str());
    return kExitRejected;
  }
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
  while (std::chrono::steady_clock::now() < end && recorder.state() != audio::Recorder::kIdle) {
    loop.runPending();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const uint32_t openedRate = recorder.openedRate();
  const uint32_t openedChannels = recorder.openedChannels();
  recorder.Stop();
  print({{"device", device.empty() ? platform::kDefaultSoundIn : device},
         {"rate", static_cast<uint32_t>(rate)},
         {"channels", static_cast<uint32_t>(channels)},
         {"device_rate", openedRate},
         {"device_channels", openedChannels},
         {"frames", wav->written()}});
  return kExitOk;
}

}  // namespace

int runAudioDevice(const Args& args) {
  if (args.empty()) return usageError("usage: audio devices | play ... | record ...");
  if (args[0] == "devices")
    return args.size() == 1 ? devices() : usageError("usage: audio devices");
  if (args[0] == "play") return play(args);
  if (args[0] == "record") return record(args);
  return usageError("unknown audio subcommand " + args[0]);
}

}  // namespace quillet::tool
