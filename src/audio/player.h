// SPDX-License-Identifier: Apache-2.0
// Player: pulls samples from a source chain and plays them on a playback device with two
// threads (a feeder that queues 100 ms blocks, a completion watcher that retires them),
// publishing the play position and the levels of the block being heard on the GUI thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/audio_stream.h"
#include "audio/recorder.h"
#include "base/notify_window.h"
#include "base/worker_thread.h"
#include "platform/audio_device.h"
#include "platform/event.h"

namespace quillet::audio {

// Listener of a Player (and of a StreamPump). Every slot receives the listener's cookie; the
// defaults do nothing. The two reserved slots are never called.
class PlayerListener {
 public:
  virtual ~PlayerListener() = default;
  virtual void OnStarted(uint32_t /*cookie*/) {}
  virtual void OnStopped(uint32_t /*cookie*/) {}
  virtual void OnReserved2(uint32_t /*cookie*/) {}
  virtual void OnReserved3(uint32_t /*cookie*/) {}
  virtual void OnPosition(const uint32_t* /*ms*/, uint32_t /*cookie*/) {}
  virtual void OnLevels(const LevelReport* /*levels*/, uint32_t /*cookie*/) {}
};

// The playback block: 100 ms, 20..8192 frames; at most eight queued. During a call the
// device queue is kept short: 20 ms blocks, four of them (an 80 ms device buffer), of which
// live playback lets the device hold 30 ms by its own delay, more (up to 60 ms) each time
// the feeder came back late and found it nearly dry.
uint32_t playbackFramesPerBlock(uint32_t rate, uint32_t blockMs = 100);
constexpr uint32_t kPlaybackBlocks = 8;
constexpr uint32_t kCallBlockMs = 20;
constexpr uint32_t kCallBlocks = 4;
constexpr uint32_t kLiveQueueMs = 30;
constexpr uint32_t kLiveQueueMostMs = 60;

class Player : public base::WorkerThread, public base::NotifyWindow {
 public:
  Player();
  explicit Player(platform::MessageLoop& loop);
  ~Player() override;

  // Opens the device in the source's format, or when it refuses that, in 48000 or 44100 Hz
  // with a converter in front (a plain hardware device plays only its own rates), and starts
  // playing. Answers 1 when playing, 0 when the source is null or the device refused.
  int Start(const SourceRef& source);
  void Stop();
  void SetDevice(const std::string& name) { device_ = name; }
  // Block length and count (at most kPlaybackBlocks) from the next Start on.
  void SetBlocks(uint32_t blockMs, uint32_t blocks) {
    blockMs_ = blockMs;
    blockCount_ = std::clamp<uint32_t>(blocks, 2, kPlaybackBlocks);
  }
  // Live playback (a call) from the next Start on: the device holds kLiveQueueMs by the delay
  // it reports, so that a standing backlog waits in the source, where the call's source can
  // take it back in its pauses (MakeCallSource).
  void SetLive(bool live) { live_ = live; }
  // Live: the frames (of the source given to Start) the device held when the feeder last
  // read, and the least it needs to play on without a gap. Any thread.
  uint32_t liveQueuedFrames() const { return liveQueued_.load(); }
  uint32_t liveNeededFrames() const {
    return deviceRate_ == 0 ? 0 : liveShare_.load() * rate_ / deviceRate_;
  }
  const std::string& deviceName() const { return device_; }
  // The volume of what the Player plays (a linear gain, 1 = as the source gives it), on the
  // device's own stream volume where it has one, else on the samples; a playing stream
  // follows from its next block. Any thread.
  void setStreamVolume(float gain) {
    streamVolume_.store(gain > 0.0f ? std::min(gain, kMostStreamVolume) : 0.0f);
  }
  float streamVolume() const { return streamVolume_.load(); }
  void SetListener(PlayerListener* listener, uint32_t cookie);

  bool playing() const { return state_.load() != 0; }
  // Position (frames of the source given to Start) at the end of the block last heard, and
  // the tick (ms) it was published at; read by the echo control without a lock.
  uint32_t playPosition() const { return position_.load(); }
  uint32_t positionTick() const { return positionTick_.load(); }
  uint32_t rate() const { return rate_; }
  // The most the device holds: block length × blocks, or when live its share now, in ms.
  uint32_t deviceQueueMs() const {
    if (deviceRate_ == 0) return 0;
    return (live_ ? liveShare_.load() : framesPerBlock_ * blockCount_) * 1000 / deviceRate_;
  }
  LevelReport levels();

 protected:
  void Run() override;  // the feeder
  void OnNotify() override;

 private:
  class CompletionWatcher;
  struct Block {
    std::vector<int16_t> pcm;  // frames × channels
    uint32_t frames = 0;
    uint32_t endPosition = 0;  // source position reached at the end of the block
    LevelReport levels;
    std::atomic<uint8_t> free{1};
  };

  void watch(CompletionWatcher& watcher);  // the completion watcher's body
  void setPriority(std::atomic<pid_t>& tid, int priority);
  uint32_t framesToMs(uint32_t frames) const;
  // Live playback: true while the device holds its share already; sets the wait until it
  // will hold less. `late`: the feeder had data and still let the device go nearly dry.
  bool deviceHoldsShare(bool late);
  // Opens out_ for the source; answers the chain to read (null when refused).
  SourceRef openDevice(const SourceRef& src);
  // Feeder: hands a changed stream volume to the device, or to the samples (sampleGain_).
  void followStreamVolume(float& applied);
  // Feeder: the n frames of scratch_ as 16-bit samples of the block, with the sample gain.
  void toBlockSamples(Block& block, uint32_t n) const;

  PlayerListener defaultListener_;
  PlayerListener* listener_ = &defaultListener_;
  uint32_t cookie_ = 0;
  std::string device_;

  std::unique_ptr<platform::PlaybackDevice> out_;
  SourceRef origin_;  // the source given to Start (behind a limiter when needed)
  SourceRef source_;  // what the feeder reads: origin_ or converters in front of it
  std::atomic<uint16_t> state_{0};
  std::atomic<uint8_t> finished_{0};
  std::atomic<uint8_t> positionChanged_{0};
  std::atomic<uint32_t> position_{0};
  std::atomic<uint32_t> positionTick_{0};
  uint32_t rate_ = 0;            // of origin_
  uint32_t channels_ = 1;        // of the device
  uint32_t framesPerBlock_ = 0;  // of the device, at deviceRate_
  uint32_t deviceRate_ = 0;
  uint32_t blockMs_ = 100;
  uint32_t blockCount_ = kPlaybackBlocks;  // of the device
  platform::Event blockFree_{platform::Event::Reset::Manual};
  Block blocks_[kPlaybackBlocks];
  std::vector<int32_t> scratch_;
  uint64_t watchBase_ = 0;  // device completions before the feeder queued its first block
  bool live_ = false;
  std::atomic<float> streamVolume_{1.0f};
  int64_t sampleGain_ = 1 << 16;  // feeder: the gain on the samples, 16 fraction bits
  std::atomic<uint32_t> liveQueued_{0};
  std::atomic<uint32_t> liveShare_{0};  // frames of the device
  uint32_t refillWaitMs_ = 0;           // live: until the device holds less than its share

  std::mutex levelsMutex_;
  LevelReport current_;

  // Priority adaptation between feeder and watcher.
  std::atomic<pid_t> feederTid_{0};
  std::atomic<pid_t> watcherTid_{0};
  std::atomic<uint8_t> feederRaised_{0};
  std::atomic<uint8_t> completionRun_{0};
};

}  // namespace quillet::audio
