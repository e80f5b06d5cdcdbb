// SPDX-License-Identifier: Apache-2.0
// Recorder: takes sound from a capture device and pushes it block by block into a sink
// chain, with format fallback and converters, DC removal, digital gain, level metering and
// a voice switch (pre-roll, hang time, length limit). Reports on the GUI thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/audio_stream.h"
#include "audio/level_meter.h"
#include "base/notify_window.h"
#include "base/worker_thread.h"
#include "platform/audio_device.h"
#include "platform/event.h"

namespace quillet::audio {

// A level report: a count followed by that many per-channel levels.
struct LevelReport {
  uint8_t count = 0;
  LevelDb levels[256] = {};
};

// Listener of a Recorder (and of a StreamRecorder). Every slot receives the listener's
// cookie; the defaults do nothing.
class RecorderListener {
 public:
  virtual ~RecorderListener() = default;
  virtual void OnStreaming(uint32_t /*cookie*/) {}
  virtual void OnWaiting(uint32_t /*cookie*/) {}
  virtual void OnStopped(uint32_t /*cookie*/) {}
  virtual void OnPosition(const uint32_t* /*ms*/, uint32_t /*cookie*/) {}
  virtual void OnLevels(const LevelReport* /*levels*/, uint32_t /*cookie*/) {}
};

// The capture block: 20 ms, 32..8192 frames; 50 blocks of slack in the device.
uint32_t captureFramesPerBlock(uint32_t rate);
constexpr uint32_t kCaptureBlocks = 50;
// A capture device that delivers nothing for this long ends the capture thread.
constexpr int32_t kCaptureSilenceLimitMs = 25000;
// Digital gain unity.
constexpr uint32_t kUnityGain = 512;
// The loudest stream volume a Recorder or Player takes (a linear gain).
constexpr float kMostStreamVolume = 1024.0f;

// The voice switch that the Recorder and the StreamRecorder share: waiting or streaming, the
// thresholds, hang time and length limit, the last voice position, the level report and the
// reports to a RecorderListener on the GUI thread.
class VoiceSwitch {
 public:
  enum State : uint32_t { kIdle = 0, kWaiting = 1, kStreaming = 2 };

  void SetListener(RecorderListener* listener, uint32_t cookie);
  State state() const { return static_cast<State>(voiceState_.load()); }
  uint32_t lastVoiceMs() const { return lastVoice_.load(); }
  // Copy of the last level report.
  LevelReport levels();

 protected:
  // Settings of a new run; the stop threshold lies 4 dB below the start threshold.
  void arm(uint32_t maxLengthMs, LevelDb startThreshold, uint32_t hangTimeMs, uint32_t lastVoiceMs);
  // Capture thread, after a block was written while streaming with the sink now at nowMs:
  // follows the last voice and the length limit. Answers true when the voice has been gone
  // longer than the hang time; the switch is then waiting again and the caller moves the
  // sink back to 450 ms after the last voice.
  bool voiceGone(LevelDb level, uint32_t nowMs);
  void publishLevels(const LevelReport& report);
  // GUI thread: answers true when the owner is to stop; otherwise passes on what changed.
  bool reportChanges();
  // Cuts the trailing silence after the last voice off a stopping sink (keeps 50 ms).
  void cutAfterLastVoice(AudioSink& sink) const;
  static uint32_t msToFrames(const AudioSink& sink, uint32_t ms) {
    return static_cast<uint32_t>(static_cast<uint64_t>(ms) * sink.rate() / 1000);
  }

  RecorderListener defaultListener_;
  RecorderListener* listener_ = &defaultListener_;
  uint32_t cookie_ = 0;
  std::atomic<uint32_t> voiceState_{kIdle};
  std::atomic<uint32_t> lastVoice_{0};
  uint32_t maxLength_ = 0;
  LevelDb startThreshold_ = kSilenceDb;
  LevelDb stopThreshold_ = kSilenceDb;
  uint32_t hangTime_ = 0;
  std::atomic<uint8_t> stopRequest_{0};  // length limit reached or source ended
  std::atomic<uint8_t> levelsChanged_{0};
  std::atomic<uint8_t> stateChanged_{0};

 private:
  std::mutex levelsMutex_;  // the report is written by the thread, read on the GUI thread
  LevelReport report_;
};

class Recorder : public base::WorkerThread, public base::NotifyWindow, public VoiceSwitch {
 public:
  // Start flags.
  static constexpr uint32_t kHoldAtGate = 1;      // the thread waits for ReleaseGate()
  static constexpr uint32_t kBeginStreaming = 2;  // start in Streaming instead of Waiting

  Recorder();
  explicit Recorder(platform::MessageLoop& loop);
  ~Recorder() override;

  // Opens the device in the sink's format (or a fallback with converters) and starts
  // capturing. Answers 1 when started, 0 otherwise (silently).
  int Start(const SinkRef& sink, uint32_t maxLengthMs, LevelDb startThreshold, uint32_t hangTimeMs,
            uint32_t flags);
  void Stop();
  // The device by its stored name ("" = default) and the mixer input line (0 = leave the
  // mixer's selection alone, n = line n - 1). Used before Start.
  void SetDevice(const std::string& name, int32_t inputChannel);
  // Record volume in dB: mixer level and digital gain (see volume.h).
  void SetRecordVolume(int level);
  // Lets a thread started with kHoldAtGate go on.
  void ReleaseGate() { gate_.set(); }

  const std::string& deviceName() const { return device_; }
  int32_t inputChannel() const { return inputChannel_; }
  void setDigitalGain(uint32_t gain) { gain_.store(gain); }
  uint32_t digitalGain() const { return gain_.load(); }
  // The volume of the capture stream (a linear gain, 1 = as captured): the device's own
  // stream volume where it has one, else applied with the digital gain; a running capture
  // follows from its next block. Any thread.
  void setStreamVolume(float gain) {
    streamVolume_.store(gain > 0.0f ? std::min(gain, kMostStreamVolume) : 0.0f);
  }
  float streamVolume() const { return streamVolume_.load(); }
  // The format the device was opened in (0 before the first successful open).
  uint32_t openedRate() const { return openedRate_.load(); }
  uint32_t openedChannels() const { return openedChannels_.load(); }

 protected:
  void Run() override;
  void OnNotify() override;

 private:
  // Opens the device in the head sink's format or a fallback; sets head_ to the chain.
  bool openDevice(platform::CaptureDevice& device);
  // DC removal, digital gain and levels of one block of `frames` frames in samples_.
  LevelDb condition(uint32_t frames, uint32_t channels);
  // Capture thread: hands a changed stream volume to the device, or to the samples.
  void followStreamVolume(platform::CaptureDevice& device, float& applied);
  LevelDb halfBlockLevel(uint32_t frames, uint32_t channels);
  void writeHead(const int32_t* samples, uint32_t frames);

  std::string device_;
  int32_t inputChannel_ = 0;

  SinkRef sink_;  // the caller's sink
  SinkRef head_;  // what the thread writes: the sink or converters in front of it
  platform::Event started_{platform::Event::Reset::Manual};
  platform::Event gate_{platform::Event::Reset::Manual};
  std::atomic<uint32_t> gain_{kUnityGain};
  std::atomic<float> streamVolume_{1.0f};
  int64_t streamGain_ = 1 << 16;  // capture thread: the stream volume on the samples (Q16)
  std::atomic<uint32_t> openedRate_{0};
  std::atomic<uint32_t> openedChannels_{0};

  uint8_t meterCount_ = 0;

  // Capture thread buffers.
  std::vector<int16_t> raw_;
  std::vector<int32_t> samples_;
  std::vector<int32_t> preroll_;
  std::vector<int64_t> dc_;
  int32_t dcFactor_ = 1;
};

}  // namespace quillet::audio
