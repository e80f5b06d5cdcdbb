// SPDX-License-Identifier: Apache-2.0
// The stream pump's thread, start, stop, restart and GUI-thread reports.
#include "audio/stream_pump.h"

#include <algorithm>

#include "audio/converters.h"
#include "platform/thread_priority.h"
#include "platform/tick.h"

namespace quillet::audio {

StreamPump::StreamPump() = default;
StreamPump::StreamPump(platform::MessageLoop& loop) : base::NotifyWindow(loop) {}

StreamPump::~StreamPump() {
  detachNotify();
  listener_ = &defaultListener_;
  Stop();
  WorkerThread::Stop();
}

void StreamPump::SetListener(PlayerListener* listener, uint32_t cookie) {
  listener_ = listener != nullptr ? listener : &defaultListener_;
  cookie_ = cookie;
}

int StreamPump::Start(const SourceRef& source, const SinkRef& sink) {
  Stop();
  if (source.isNull()) return 0;
  WorkerThread::Stop();  // a thread that ended with its source is reaped first
  sink_ = sink;
  SourceRef src = AdaptSource(sink->rate(), sink->channels(), source);
  if (src->peakRange() > kSampleMax) src = MakePeakLimiter(kSampleMax, src);
  source_ = src;
  state_ = kActive | kNotWaitedYet;
  finished_ = positionChanged_ = 0;
  position_ = source_->Position();
  if (!WorkerThread::Start(platform::kPriorityHighest)) {
    // No thread that could be stopped: the pump does not start.
    source_.resetNull();
    sink_.resetNull();
    state_ = 0;
    return 0;
  }
  listener_->OnStarted(cookie_);
  const uint32_t ms = source_->framesToMs(position_.load());
  listener_->OnPosition(&ms, cookie_);
  return 1;
}

void StreamPump::Stop() {
  if (state_.load() == 0) return;
  WorkerThread::Stop();
  source_.resetNull();
  sink_.resetNull();
  state_ = 0;
  finished_ = positionChanged_ = 0;
  position_ = 0;
  listener_->OnStopped(cookie_);
}

void StreamPump::Restart(uint32_t frame) {
  if (!active()) return;
  WorkerThread::Stop();
  source_->Seek(frame);
  position_ = source_->Position();
  state_ = state_.load() | kNotWaitedYet;
  finished_ = positionChanged_ = 0;
  if (!WorkerThread::Start(platform::kPriorityHighest)) {
    Stop();
    return;
  }
  const uint32_t ms = source_->framesToMs(position_.load());
  listener_->OnPosition(&ms, cookie_);
}

void StreamPump::OnNotify() {
  if (finished_.load() != 0) {
    const uint32_t ms = source_->framesToMs(source_->Length());
    listener_->OnPosition(&ms, cookie_);
    if (finished_.load() != 0) Stop();
    return;
  }
  if (positionChanged_.exchange(0) != 0) {
    const uint32_t ms = source_->framesToMs(position_.load());
    listener_->OnPosition(&ms, cookie_);
  }
}

void StreamPump::throttle(uint32_t& startTick, uint64_t& sent) {
  const uint32_t now = platform::tickMs();
  const auto ahead =
      static_cast<int64_t>(sent * 1000 / source_->rate()) - platform::tickDiff(now, startTick);
  if (ahead < -40) {
    // Behind real time (the source was waited for): count from here.
    startTick = now;
    sent = 0;
  } else if (ahead > 20) {
    stopEvent().wait(static_cast<int32_t>(ahead - 20));
  }
}

void StreamPump::Run() {
  const uint32_t block = std::clamp<uint32_t>(source_->rate() / 25, 20, 8192);
  std::vector<int32_t> buffer(static_cast<size_t>(block) * source_->channels());
  bool firstSinceWait = true;
  uint32_t startTick = platform::tickMs();
  uint64_t sent = 0;
  while (!stopRequested()) {
    const int32_t available = source_->available();
    if (available > 0) {
      const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(available), block);
      source_->Read(buffer.data(), n);
      sink_->Write(buffer.data(), n);
      // A sink may hold a block back (a call's first audio waits for its keys): real time
      // counts from when it took the first one, else the blocks behind it go out as a burst.
      if (sent == 0) startTick = platform::tickMs();
      position_ = source_->Position();
      positionChanged_ = 1;
      Post();
      sent += n;
      // Once the pump has caught up with a live source, a backlog that builds up (a capture
      // block that came late) is not held back at real time: a call would keep it as delay.
      const bool caughtUp = (state_.load() & kNotWaitedYet) == 0;
      if (realTime_ && !caughtUp) {
        throttle(startTick, sent);
      } else if (!firstSinceWait) {
        stopEvent().wait(10);  // a backlog goes out in quick steps, not all at once
      }
      firstSinceWait = false;
      continue;
    }
    if (!source_->MoreComing()) {
      finished_ = 1;
      Post();
      return;
    }
    platform::setThreadPriority(platform::currentThreadId(), platform::kPriorityHighest);
    state_ = state_.load() & ~kNotWaitedYet;
    source_->Wait(100);
    firstSinceWait = true;
  }
}

}  // namespace quillet::audio
