// SPDX-License-Identifier: Apache-2.0
// The capture thread and the Recorder's start, stop and GUI-thread reports.
#include "audio/recorder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/converters.h"
#include "audio/volume.h"
#include "base/log.h"
#include "platform/realtime.h"
#include "platform/thread_priority.h"

namespace quillet::audio {

uint32_t captureFramesPerBlock(uint32_t rate) {
  return std::clamp<uint32_t>(rate / 50, 32, 8192);
}

void VoiceSwitch::SetListener(RecorderListener* listener, uint32_t cookie) {
  listener_ = listener != nullptr ? listener : &defaultListener_;
  cookie_ = cookie;
}

LevelReport VoiceSwitch::levels() {
  std::lock_guard lock(levelsMutex_);
  return report_;
}

void VoiceSwitch::publishLevels(const LevelReport& report) {
  std::lock_guard lock(levelsMutex_);
  report_ = report;
}

void VoiceSwitch::arm(uint32_t maxLengthMs, LevelDb startThreshold, uint32_t hangTimeMs,
                      uint32_t lastVoiceMs) {
  maxLength_ = maxLengthMs;
  startThreshold_ = startThreshold;
  stopThreshold_ = static_cast<LevelDb>(std::clamp(startThreshold - 4, -127, 127));
  hangTime_ = hangTimeMs;
  lastVoice_.store(lastVoiceMs);
  stopRequest_ = levelsChanged_ = stateChanged_ = 0;
}

bool VoiceSwitch::voiceGone(LevelDb level, uint32_t nowMs) {
  bool gone = false;
  if (level < stopThreshold_) {
    if (nowMs - lastVoice_.load() > hangTime_) {
      voiceState_.store(kWaiting);
      stateChanged_ = 1;
      gone = true;
    }
  } else {
    lastVoice_.store(nowMs);
  }
  if (maxLength_ > 0 && nowMs > maxLength_) stopRequest_ = 1;
  return gone;
}

bool VoiceSwitch::reportChanges() {
  if (stopRequest_.load() != 0) return true;
  if (levelsChanged_.exchange(0) != 0) {
    const uint32_t lastVoice = lastVoice_.load();
    listener_->OnPosition(&lastVoice, cookie_);
    const LevelReport copy = levels();
    listener_->OnLevels(&copy, cookie_);
  }
  if (stateChanged_.exchange(0) != 0) {
    if (voiceState_.load() == kWaiting)
      listener_->OnWaiting(cookie_);
    else if (voiceState_.load() == kStreaming)
      listener_->OnStreaming(cookie_);
  }
  return false;
}

void VoiceSwitch::cutAfterLastVoice(AudioSink& sink) const {
  const uint32_t keepMs = lastVoice_.load() + 50;
  if (sink.positionMs() > keepMs) sink.Seek(msToFrames(sink, keepMs));
}

Recorder::Recorder() = default;
Recorder::Recorder(platform::MessageLoop& loop) : base::NotifyWindow(loop) {}

Recorder::~Recorder() {
  detachNotify();
  listener_ = &defaultListener_;
  Stop();
  WorkerThread::Stop();
}

void Recorder::SetDevice(const std::string& name, int32_t inputChannel) {
  device_ = name;
  inputChannel_ = inputChannel;
}

void Recorder::SetRecordVolume(int level) {
  audio::SetRecordVolume(*this, level);
}

int Recorder::Start(const SinkRef& sink, uint32_t maxLengthMs, LevelDb startThreshold,
                    uint32_t hangTimeMs, uint32_t flags) {
  if (voiceState_.load() != kIdle) Stop();
  if (sink.isNull()) return 0;
  // A thread that ended on its own (no sound for 25 s) is reaped before a new one.
  WorkerThread::Stop();
  sink_ = sink;
  head_ = sink;
  meterCount_ = static_cast<uint8_t>(std::min<uint32_t>(sink->channels(), 255));
  arm(maxLengthMs, startThreshold, hangTimeMs, sink->positionMs());
  voiceState_.store((flags & kBeginStreaming) != 0 ? kStreaming : kWaiting);
  started_.reset();
  if ((flags & kHoldAtGate) != 0)
    gate_.reset();
  else
    gate_.set();
  if (!WorkerThread::Start(platform::currentThreadPriority())) {
    base::logError("Cannot start the capture: out of descriptors");
    sink_.resetNull();
    head_.resetNull();
    voiceState_.store(kIdle);
    return 0;
  }
  if (!started_.wait(1500)) return 0;  // the thread goes on and may still capture
  if (voiceState_.load() == kIdle) {
    WorkerThread::Stop();
    sink_.resetNull();
    head_.resetNull();
    return 0;
  }
  if ((flags & kBeginStreaming) != 0)
    listener_->OnStreaming(cookie_);
  else
    listener_->OnWaiting(cookie_);
  const uint32_t lastVoice = lastVoice_.load();
  listener_->OnPosition(&lastVoice, cookie_);
  return 1;
}

void Recorder::Stop() {
  if (voiceState_.load() == kIdle) return;
  WorkerThread::Stop();
  cutAfterLastVoice(*head_);
  sink_.resetNull();
  head_.resetNull();
  lastVoice_.store(0);
  voiceState_.store(kIdle);
  listener_->OnStopped(cookie_);
}

void Recorder::OnNotify() {
  if (reportChanges()) Stop();
}

bool Recorder::openDevice(platform::CaptureDevice& device) {
  using platform::AudioOpen;
  const uint32_t rate = sink_->rate();
  const uint32_t channels = sink_->channels();
  auto tryOpen = [&](uint32_t r, uint32_t c) {
    return device.open(r, c, captureFramesPerBlock(r), kCaptureBlocks);
  };
  AudioOpen result = tryOpen(rate, channels);
  if (result == AudioOpen::Failed) {
    base::logError("Cannot open the capture device: ", device.lastError());
    return false;
  }
  if (result == AudioOpen::BadFormat) {
    // 48000 Hz and stereo for a mono sink: what plain hardware devices of today take;
    // 16000 Hz is what headsets and wideband microphones have.
    static constexpr uint32_t kRates[] = {44100, 48000, 22050, 16000, 11025, 8000};
    std::vector<uint32_t> counts;
    for (uint32_t c = channels; c >= 1; --c) counts.push_back(c);
    if (channels < 2) counts.push_back(2);
    for (uint32_t c : counts) {
      if (c != channels && (result = tryOpen(rate, c)) == AudioOpen::Ok) break;
      if (result == AudioOpen::Failed) break;
      for (uint32_t r : kRates) {
        if ((result = tryOpen(r, c)) != AudioOpen::BadFormat) break;
      }
      if (result != AudioOpen::BadFormat) break;
    }
    if (result != AudioOpen::Ok) {
      base::logError("The capture device takes none of the formats tried: ", device.lastError());
      return false;
    }
    head_ = BuildCaptureChain(device.rate(), device.channels(), sink_);
  }
  openedRate_.store(device.rate());
  openedChannels_.store(device.channels());
  return true;
}

LevelDb Recorder::condition(uint32_t frames, uint32_t channels) {
  int32_t* s = samples_.data();
  for (uint32_t c = 0; c < channels; ++c) {
    int64_t acc = dc_[c];
    for (uint32_t f = 0; f < frames; ++f) {
      int32_t& x = s[f * channels + c];
      const int32_t y = x - static_cast<int32_t>(acc >> 12);
      x = y;
      acc += static_cast<int64_t>(y) * dcFactor_;
    }
    dc_[c] = acc;
  }
  // The digital gain (9 fraction bits) and the stream volume (16) together.
  const int64_t gain = static_cast<int64_t>(gain_.load()) * streamGain_;
  constexpr int64_t kUnity = int64_t{kUnityGain} << 16;
  if (gain != kUnity) {
    for (uint32_t i = 0; i < frames * channels; ++i) {
      const int64_t v = (static_cast<int64_t>(s[i]) * gain) >> 25;
      s[i] = static_cast<int32_t>(std::clamp<int64_t>(v, kSampleMin, kSampleMax));
    }
  }
  LevelReport report;
  report.count = meterCount_;
  for (uint32_t i = 0; i < meterCount_; ++i) {
    // A mono device feeding a stereo sink meters its one channel on both.
    report.levels[i] = peakLevel(s, frames, channels, i % channels);
  }
  publishLevels(report);
  return combinedLevel(report.levels, report.count);
}

void Recorder::followStreamVolume(platform::CaptureDevice& device, float& applied) {
  const float volume = streamVolume_.load();
  if (volume == applied) return;
  applied = volume;
  streamGain_ = device.setStreamVolume(volume) ? 1 << 16 : std::llround(volume * 65536.0);
}

LevelDb Recorder::halfBlockLevel(uint32_t frames, uint32_t channels) {
  LevelDb levels[2];
  const uint32_t n = std::min<uint32_t>(meterCount_, 2);
  for (uint32_t i = 0; i < n; ++i)
    levels[i] = peakLevel(samples_.data(), frames / 2, channels, i % channels);
  return combinedLevel(levels, n);
}

void Recorder::writeHead(const int32_t* samples, uint32_t frames) {
  if (frames > 0) head_->Write(samples, frames);
}

void Recorder::Run() {
  auto device = platform::makeCaptureDevice(device_);
  if (!openDevice(*device)) {
    voiceState_.store(kIdle);
    started_.set();
    return;
  }
  const uint32_t channels = device->channels();
  const uint32_t frames = device->framesPerBlock();
  raw_.assign(static_cast<size_t>(frames) * channels, 0);
  samples_.assign(raw_.size(), 0);
  preroll_.assign(raw_.size(), 0);
  dc_.assign(channels, 0);
  const uint32_t rate = device->rate();
  dcFactor_ = rate > 0 ? static_cast<int32_t>(192000 / rate + 1) : 1;
  bool prerollValid = false;
  float volume = -1.0f;  // the stream volume last handed on: none yet
  followStreamVolume(*device, volume);
  started_.set();

  if (base::WaitForEventOrStop(*this, gate_, base::kInfinite) != base::WaitResult::Signalled ||
      !device->start()) {
    levelsChanged_ = stateChanged_ = 0;
    device->close();
    return;
  }
  if (!platform::makeCurrentThreadRealtime())
    platform::setThreadPriority(platform::currentThreadId(), platform::kPriorityHighest);

  for (;;) {
    const platform::AudioWait w =
        device->readBlock(raw_.data(), stopEvent().fd(), kCaptureSilenceLimitMs);
    if (w == platform::AudioWait::TimedOut)
      base::logError("The capture device delivered nothing for 25 s; capture ends");
    if (w == platform::AudioWait::Failed)
      base::logError("The capture device failed; capture ends: ", device->lastError());
    if (w != platform::AudioWait::Ready) break;
    for (size_t i = 0; i < raw_.size(); ++i) samples_[i] = raw_[i] * 16;
    followStreamVolume(*device, volume);
    const LevelDb level = condition(frames, channels);

    if (voiceState_.load() == kStreaming) {
      writeHead(samples_.data(), frames);
      if (voiceGone(level, head_->positionMs())) {
        // Keep 450 ms after the voice and wait for the next.
        head_->Seek(msToFrames(*head_, lastVoice_.load() + 450));
        std::copy(samples_.begin(), samples_.end(), preroll_.begin());
        prerollValid = true;
      }
    } else if (level < startThreshold_) {
      std::copy(samples_.begin(), samples_.end(), preroll_.begin());
      prerollValid = true;
    } else {
      // Speech in the first half of the block is preceded by the block before it.
      if (halfBlockLevel(frames, channels) >= startThreshold_ && prerollValid)
        writeHead(preroll_.data(), frames);
      writeHead(samples_.data(), frames);
      voiceState_.store(kStreaming);
      stateChanged_ = 1;
    }
    levelsChanged_ = 1;
    Post();
  }

  // What the device holds of the block being filled still reaches a streaming sink.
  const uint32_t rest = device->stopAndDrain(raw_.data());
  if (voiceState_.load() == kStreaming && rest > 0) {
    for (size_t i = 0; i < static_cast<size_t>(rest) * channels; ++i) samples_[i] = raw_[i] * 16;
    condition(rest, channels);
    writeHead(samples_.data(), rest);
  }
  stopRequest_ = levelsChanged_ = stateChanged_ = 0;
  device->close();
}

}  // namespace quillet::audio
