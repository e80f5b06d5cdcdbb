// SPDX-License-Identifier: Apache-2.0
// The stream recorder's thread (voice switch over a source), start, stop and reports.
#include "audio/stream_recorder.h"

#include <algorithm>

#include "audio/converters.h"
#include "platform/thread_priority.h"

namespace quillet::audio {

StreamRecorder::StreamRecorder() = default;
StreamRecorder::StreamRecorder(platform::MessageLoop& loop) : base::NotifyWindow(loop) {}

StreamRecorder::~StreamRecorder() {
  detachNotify();
  listener_ = &defaultListener_;
  Stop();
  WorkerThread::Stop();
}

int StreamRecorder::Start(const SourceRef& source, const SinkRef& sink, uint32_t maxLengthMs,
                          LevelDb startThreshold, uint32_t hangTimeMs) {
  if (voiceState_.load() != kIdle) Stop();
  if (source->flags() != 0 || sink.isNull()) return 0;
  WorkerThread::Stop();  // a thread that ended with its source is reaped first
  sink_ = sink;
  source_ = AdaptSource(sink->rate(), sink->channels(), source);
  meterCount_ = static_cast<uint8_t>(std::min<uint32_t>(sink->channels(), 255));
  arm(maxLengthMs, startThreshold, hangTimeMs, sink->positionMs());
  voiceState_ = kWaiting;
  if (!WorkerThread::Start(platform::currentThreadPriority())) {
    source_.resetNull();
    sink_.resetNull();
    voiceState_ = kIdle;
    return 0;
  }
  listener_->OnStreaming(cookie_);
  listener_->OnWaiting(cookie_);
  const uint32_t lastVoice = lastVoice_.load();
  listener_->OnPosition(&lastVoice, cookie_);
  return 1;
}

void StreamRecorder::Stop() {
  if (voiceState_.load() == kIdle) return;
  WorkerThread::Stop();
  cutAfterLastVoice(*sink_);
  source_.resetNull();
  sink_.resetNull();
  lastVoice_ = 0;
  voiceState_ = kIdle;
  stopRequest_ = levelsChanged_ = stateChanged_ = 0;
  listener_->OnStopped(cookie_);
}

void StreamRecorder::OnNotify() {
  if (reportChanges()) Stop();
}

LevelDb StreamRecorder::measure(const int32_t* samples, uint32_t frames, bool store) {
  LevelReport report;
  report.count = meterCount_;
  const uint32_t channels = source_->channels();
  for (uint32_t i = 0; i < meterCount_; ++i)
    report.levels[i] = peakLevel(samples, frames, channels, i % channels);
  if (store) publishLevels(report);
  return combinedLevel(report.levels, report.count);
}

void StreamRecorder::Run() {
  const uint32_t channels = source_->channels();
  const uint32_t block = std::clamp<uint32_t>(sink_->rate() / 10, 20, 8192);
  std::vector<int32_t> buffer(static_cast<size_t>(block) * channels, 0);
  std::vector<int32_t> preroll(buffer.size(), 0);
  uint32_t prerollFrames = 0;
  for (;;) {
    const int32_t available = source_->available();
    if (available < 11) {
      if (!source_->MoreComing()) break;
      source_->Wait(100);
      if (stopRequested()) {
        levelsChanged_ = stateChanged_ = 0;
        return;
      }
      continue;
    }
    const uint32_t n = std::min<uint32_t>(block, static_cast<uint32_t>(available));
    source_->Read(buffer.data(), n);
    const LevelDb level = measure(buffer.data(), n, true);
    if (voiceState_.load() == kStreaming) {
      sink_->Write(buffer.data(), n);
      if (voiceGone(level, sink_->positionMs())) {
        sink_->Seek(msToFrames(*sink_, lastVoice_.load() + 450));
        std::copy_n(buffer.begin(), static_cast<size_t>(n) * channels, preroll.begin());
        prerollFrames = n;
      }
    } else if (level < startThreshold_) {
      std::copy_n(buffer.begin(), static_cast<size_t>(n) * channels, preroll.begin());
      prerollFrames = n;
    } else {
      if (measure(buffer.data(), n / 2, false) >= startThreshold_ && prerollFrames >= 10) {
        // A long pre-roll gives only its second half: the lead-in, not the whole pause.
        const uint32_t from = prerollFrames < block / 2 ? 0 : prerollFrames / 2;
        sink_->Write(preroll.data() + static_cast<size_t>(from) * channels, prerollFrames - from);
      }
      sink_->Write(buffer.data(), n);
      voiceState_ = kStreaming;
      stateChanged_ = 1;
    }
    levelsChanged_ = 1;
    Post();
    if (stopRequested()) {
      stopRequest_ = levelsChanged_ = stateChanged_ = 0;
      return;
    }
  }
  // The source is exhausted: the recorder stops itself through OnNotify.
  stopRequest_ = 1;
  levelsChanged_ = stateChanged_ = 0;
  Post();
}

}  // namespace quillet::audio
