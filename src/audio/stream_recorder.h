// StreamRecorder: passes a source on to a sink only while it carries sound above a
// threshold (the Recorder's voice switch: pre-roll, hang time, length limit), without a
// sound device; reports through a RecorderListener on the GUI thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "audio/audio_stream.h"
#include "audio/recorder.h"
#include "base/notify_window.h"
#include "base/worker_thread.h"

namespace quillet::audio {

class StreamRecorder : public base::WorkerThread, public base::NotifyWindow {
 public:
  enum State : uint32_t { kIdle = 0, kWaiting = 1, kStreaming = 2 };

  StreamRecorder();
  explicit StreamRecorder(platform::MessageLoop& loop);
  ~StreamRecorder() override;

  // Answers 1 when started; 0 for a null or failed source or a null sink.
  int Start(const SourceRef& source, const SinkRef& sink, uint32_t maxLengthMs,
            LevelDb startThreshold, uint32_t hangTimeMs);
  void Stop();
  void SetListener(RecorderListener* listener, uint32_t cookie);

  State state() const { return static_cast<State>(state_.load()); }
  uint32_t lastVoiceMs() const { return lastVoice_.load(); }
  LevelReport levels();

 protected:
  void Run() override;
  void OnNotify() override;

 private:
  LevelDb measure(const int32_t* samples, uint32_t frames, bool store);
  uint32_t msToFrames(uint32_t ms) const;

  RecorderListener defaultListener_;
  RecorderListener* listener_ = &defaultListener_;
  uint32_t cookie_ = 0;
  std::atomic<uint32_t> state_{kIdle};
  SourceRef source_;
  SinkRef sink_;
  std::atomic<uint32_t> lastVoice_{0};
  uint8_t meterCount_ = 0;
  std::mutex levelsMutex_;
  LevelReport report_;
  uint32_t maxLength_ = 0;
  LevelDb startThreshold_ = kSilenceDb;
  LevelDb stopThreshold_ = kSilenceDb;
  uint32_t hangTime_ = 0;
  std::atomic<uint8_t> stopRequest_{0};
  std::atomic<uint8_t> levelsChanged_{0};
  std::atomic<uint8_t> stateChanged_{0};
};

}  // namespace quillet::audio
