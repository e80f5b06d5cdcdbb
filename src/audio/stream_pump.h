// SPDX-License-Identifier: Apache-2.0
// StreamPump: copies a source into a sink without a sound device, as fast as the sink takes
// it (slightly throttled) or at the pace of real time, adapting the source to the sink's
// format; reports position on the GUI thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "audio/audio_stream.h"
#include "audio/player.h"
#include "base/notify_window.h"
#include "base/worker_thread.h"

namespace quillet::audio {

class StreamPump : public base::WorkerThread, public base::NotifyWindow {
 public:
  static constexpr uint16_t kActive = 0x01;
  static constexpr uint16_t kNotWaitedYet = 0x10;  // cleared at the first wait for data

  StreamPump();
  explicit StreamPump(platform::MessageLoop& loop);
  ~StreamPump() override;

  // Answers 1 when pumping, 0 for a null source.
  int Start(const SourceRef& source, const SinkRef& sink);
  void Stop();
  // Moves the source to `frame` and goes on from there (only while active).
  void Restart(uint32_t frame);
  // Slots used: OnStarted, OnStopped, OnPosition.
  void SetListener(PlayerListener* listener, uint32_t cookie);
  // A backlog goes out no faster than real time (for a call, whose far end plays what
  // it gets as it comes) until the pump has caught up with its source; from the next
  // Start on.
  void setRealTime(bool on) { realTime_ = on; }

  uint16_t state() const { return state_.load(); }
  bool active() const { return (state_.load() & kActive) != 0; }
  uint32_t position() const { return position_.load(); }  // source frames

 protected:
  void Run() override;
  void OnNotify() override;

 private:
  // Waits between blocks of a backlog; `sent` counts frames since `startTick`.
  void throttle(uint32_t& startTick, uint64_t& sent);

  bool realTime_ = false;
  PlayerListener defaultListener_;
  PlayerListener* listener_ = &defaultListener_;
  uint32_t cookie_ = 0;
  std::atomic<uint32_t> position_{0};
  std::atomic<uint16_t> state_{0};
  std::atomic<uint8_t> finished_{0};
  std::atomic<uint8_t> positionChanged_{0};
  SourceRef source_;
  SinkRef sink_;
};

}  // namespace quillet::audio
