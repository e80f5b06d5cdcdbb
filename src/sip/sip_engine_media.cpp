// SPDX-License-Identifier: Apache-2.0
// SipEngine's media commands: digits, playing a source into the call, recording the far end
// (into a sink or as levels only) and the reports of the stream pump and recorder.
#include <algorithm>

#include "platform/tick.h"
#include "sip/sip_engine.h"
#include "sip/sip_engine_util.h"

namespace quillet::sip {

namespace {

// Takes what it is given and keeps only the count: the far end's audio when only its
// positions and levels are wanted.
class DiscardSink : public audio::AudioSink {
 public:
  DiscardSink() : AudioSink(8000, 1) {}
  void Write(const int32_t* /*samples*/, uint32_t frames) override { position_ += frames; }
  void Seek(uint32_t position) override { position_ = position; }
};

// The loudest channel of a level report.
int8_t loudest(const audio::LevelReport& report) {
  audio::LevelDb level = audio::kSilenceDb;
  for (uint32_t i = 0; i < report.count; ++i) level = std::max(level, report.levels[i]);
  return level;
}

}  // namespace

void SipEngine::SendDtmf(std::string_view digits) {
  dtmfPending_ = true;
  dtmfDone_ = false;
  if (!media_->sendDigits(digits)) dtmfPending_ = false;  // this media cannot send digits
}

void SipEngine::StopMedia() {
  // Flags first, so that the helpers' "stopped" reports raise nothing.
  playing_ = false;
  recordingMode_ = kNotRecording;
  pump_.Stop();
  streamRecorder_.Stop();
}

audio::SinkRef SipEngine::SendingStream() {
  playing_ = false;
  pump_.Stop();
  if (callState_ != kCallConnected) return {};
  return media_->sendingStream();
}

audio::SourceRef SipEngine::ReceivingStream() {
  recordingMode_ = kNotRecording;
  streamRecorder_.Stop();
  if (callState_ == kCallIdle) return {};
  return media_->receivingStream();
}

void SipEngine::PlayIntoCall(const audio::SourceRef& source) {
  StopMedia();
  playing_ = true;
  // Without a connected call there is nothing to play into: that is a failed start too.
  audio::SinkRef sink = callState_ == kCallConnected ? media_->sendingStream() : audio::SinkRef();
  if (sink.isNull() || source.isNull() || pump_.Start(source, sink) == 0) {
    playing_ = false;
    events_->PlaybackFailed();
    return;
  }
  sendingRate_ = sink->rate();
}

void SipEngine::SeekPlayIntoCall(int32_t ms) {
  if (!pump_.active() || sendingRate_ == 0) return;
  const int64_t rate = sendingRate_;
  int64_t target = static_cast<int64_t>(pump_.position()) * 1000 / rate + ms;
  if (sourceKept_) {
    const int64_t end = keptSource_->framesToMs(keptSource_->Length());
    target = std::min(target, end - kSeekEndMarginMs);
  }
  target = std::max<int64_t>(target, 0);
  pump_.Restart(static_cast<uint32_t>(target * rate / 1000));
}

void SipEngine::startRecording(const audio::SinkRef& sink, int32_t maxLengthMs, int8_t startLevel,
                               int32_t bufferMs, RecordingMode mode) {
  StopMedia();
  uint32_t hangMs = 0;
  if (bufferMs < kLongBufferMs) {
    const int32_t buffer = std::max(bufferMs, kShortBufferMinMs);
    noActivityLimitMs_ = kShortBufferLimitMs;
    hangMs = static_cast<uint32_t>(buffer) - kShortBufferLimitMs;
  } else {
    hangMs = kLongBufferHangMs;
    noActivityLimitMs_ = static_cast<uint32_t>(bufferMs) - kLongBufferHangMs;
  }
  noActivityRefresh_ = platform::tickMs() + kRecordingGraceMs;
  const audio::SourceRef source =
      callState_ == kCallIdle ? audio::SourceRef() : media_->receivingStream();
  // The mode is set first so that the recorder's first position report is passed on.
  recordingMode_ = mode;
  const uint32_t maxLength = static_cast<uint32_t>(std::max(maxLengthMs, 0));
  if (source.isNull() || streamRecorder_.Start(source, sink, maxLength, startLevel, hangMs) == 0) {
    recordingMode_ = kNotRecording;
    HangUp();
  }
}

void SipEngine::RecordCall(const audio::SinkRef& sink, int32_t maxLengthMs, int8_t startLevel,
                           int32_t bufferMs) {
  startRecording(sink, maxLengthMs, startLevel, bufferMs, kRecordingIntoSink);
}

void SipEngine::RecordCallLevels(int32_t maxLengthMs, int8_t startLevel, int32_t bufferMs) {
  if (maxLengthMs < 1) {
    events_->LevelRecordingStopped();
    return;
  }
  if (bufferMs < 1) {
    bufferMs = kLevelsDefaultBufferMs;
    startLevel = audio::kSilenceDb;
  }
  startRecording(audio::makeStream<DiscardSink>(), maxLengthMs, startLevel, bufferMs,
                 kRecordingLevels);
}

void SipEngine::RecordCallFrom(int32_t maxLengthMs, const audio::SourceRef& source) {
  keptSource_ = source;
  sourceKept_ = !source.isNull();
  RecordCallLevels(maxLengthMs, audio::kSilenceDb, 0);
}

int SipEngine::IsRecording() {
  return recordingMode_ == kRecordingIntoSink &&
                 streamRecorder_.state() != audio::StreamRecorder::kIdle
             ? 1
             : 0;
}

void SipEngine::OnStopped(uint32_t cookie) {
  if (cookie == kPumpCookie) {
    if (playing_.exchange(false)) events_->PlaybackFailed();
    return;
  }
  // The recording is over; the mode is cleared so that it reports once.
  const int32_t mode = recordingMode_.exchange(kNotRecording);
  if (mode == kRecordingIntoSink) {
    events_->RecordingStopped();
  } else if (mode == kRecordingLevels) {
    events_->LevelRecordingStopped();
  }
}

void SipEngine::OnPosition(const uint32_t* ms, uint32_t cookie) {
  const auto value = static_cast<int32_t>(*ms);
  if (cookie == kPumpCookie) {
    events_->PlaybackPosition(value);
  } else if (recordingMode_ == kRecordingIntoSink) {
    events_->RecordingPosition(value);
  }
}

void SipEngine::OnLevels(const audio::LevelReport* levels, uint32_t cookie) {
  if (cookie == kPumpCookie) {
    events_->PlaybackLevel(loudest(*levels));
    return;
  }
  if (recordingMode_ == kNotRecording) return;
  const uint32_t now = platform::tickMs();
  if (streamRecorder_.state() == audio::StreamRecorder::kWaiting) {
    noActivityRefresh_ = now;
  } else if (since(now, noActivityRefresh_) > static_cast<int32_t>(noActivityLimitMs_)) {
    streamRecorder_.Stop();  // reports "stopped", which raises the mode's event
    return;
  }
  if (recordingMode_ == kRecordingIntoSink) events_->RecordingLevel(loudest(*levels));
}

}  // namespace quillet::sip
