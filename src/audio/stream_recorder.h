// SPDX-License-Identifier: Apache-2.0
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

class StreamRecorder : public base::WorkerThread, public base::NotifyWindow, public VoiceSwitch {
 public:
  StreamRecorder();
  explicit StreamRecorder(platform::MessageLoop& loop);
  ~StreamRecorder() override;

  // Answers 1 when started; 0 for a null or failed source or a null sink.
  int Start(const SourceRef& source, const SinkRef& sink, uint32_t maxLengthMs,
            LevelDb startThreshold, uint32_t hangTimeMs);
  void Stop();

 protected:
  void Run() override;
  void OnNotify() override;

 private:
  LevelDb measure(const int32_t* samples, uint32_t frames, bool store);

  SourceRef source_;
  SinkRef sink_;
  uint8_t meterCount_ = 0;
};

}  // namespace quillet::audio
