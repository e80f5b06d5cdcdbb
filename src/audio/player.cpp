// SPDX-License-Identifier: Apache-2.0
// The Player's feeder and completion watcher threads, start, stop and GUI-thread reports.
#include "audio/player.h"

#include <algorithm>
#include <cmath>

#include "audio/converters.h"
#include "audio/level_meter.h"
#include "base/log.h"
#include "platform/realtime.h"
#include "platform/thread_priority.h"
#include "platform/tick.h"

namespace quillet::audio {

uint32_t playbackFramesPerBlock(uint32_t rate, uint32_t blockMs) {
  return std::clamp<uint32_t>(static_cast<uint32_t>(uint64_t{rate} * blockMs / 1000), 20, 8192);
}

namespace {
// The longest a live feeder waits for the device to go below its share: a block's length
// would let it run nearly dry.
constexpr uint64_t kRefillWaitMs = 25;
}  // namespace

class Player::CompletionWatcher : public base::WorkerThread {
 public:
  explicit CompletionWatcher(Player& player) : player_(player) {}
  ~CompletionWatcher() override { Stop(); }

 protected:
  void Run() override { player_.watch(*this); }

 private:
  Player& player_;
};

Player::Player() = default;
Player::Player(platform::MessageLoop& loop) : base::NotifyWindow(loop) {}

Player::~Player() {
  detachNotify();
  listener_ = &defaultListener_;
  Stop();
  WorkerThread::Stop();
}

void Player::SetListener(PlayerListener* listener, uint32_t cookie) {
  listener_ = listener != nullptr ? listener : &defaultListener_;
  cookie_ = cookie;
}

LevelReport Player::levels() {
  std::lock_guard lock(levelsMutex_);
  return current_;
}

uint32_t Player::framesToMs(uint32_t frames) const {
  if (rate_ == 0) return 0;
  return frames / rate_ * 1000 + frames % rate_ * 1000 / rate_;
}

void Player::setPriority(std::atomic<pid_t>& tid, int priority) {
  const pid_t id = tid.load();
  if (id != 0) platform::setThreadPriority(id, priority);
}

int Player::Start(const SourceRef& source) {
  Stop();
  if (source.isNull()) return 0;
  SourceRef src = source;
  if (src->peakRange() > kSampleMax) src = MakePeakLimiter(kSampleMax, src);
  rate_ = src->rate();
  out_ = platform::makePlaybackDevice(device_);
  SourceRef chain = openDevice(src);
  if (chain.isNull()) {
    base::logError("Cannot open the playback device: ", out_->lastError());
    out_.reset();
    return 0;
  }
  // Everything the threads use is allocated here: nothing is allocated while playing.
  scratch_.assign(static_cast<size_t>(framesPerBlock_) * channels_, 0);
  for (Block& b : blocks_) {
    b.pcm.assign(scratch_.size(), 0);
    b.frames = 0;
    b.free = 1;
  }
  origin_ = src;
  source_ = chain;
  state_ = 1;
  finished_ = positionChanged_ = 0;
  position_ = src->Position();
  positionTick_ = platform::tickMs();
  liveQueued_ = 0;
  liveShare_ = deviceRate_ * kLiveQueueMs / 1000;
  if (!WorkerThread::Start(platform::kPriorityNormal)) {
    // A feeder that could not be stopped is worse than no sound.
    base::logError("Cannot start the playback: out of descriptors");
    state_ = 0;
    source_.resetNull();
    out_->close();
    out_.reset();
    return 0;
  }
  listener_->OnStarted(cookie_);
  const uint32_t ms = framesToMs(position_.load());
  listener_->OnPosition(&ms, cookie_);
  return 1;
}

SourceRef Player::openDevice(const SourceRef& src) {
  const uint32_t channels = std::max<uint32_t>(src->channels(), 1);
  auto tryOpen = [&](uint32_t rate, uint32_t c) {
    channels_ = c;
    deviceRate_ = rate;
    framesPerBlock_ = playbackFramesPerBlock(rate, blockMs_);
    return out_->open(rate, c, framesPerBlock_, blockCount_);
  };
  platform::AudioOpen result = tryOpen(rate_, channels);
  if (result == platform::AudioOpen::Ok) return src;
  // A device that plays only its own formats (a plain hw: device): convert to one of them.
  static constexpr uint32_t kRates[] = {48000, 44100};
  for (uint32_t rate : kRates) {
    for (uint32_t c : {channels, 3 - std::min<uint32_t>(channels, 2)}) {
      if (result == platform::AudioOpen::Failed) return SourceRef();
      if ((result = tryOpen(rate, c)) == platform::AudioOpen::Ok) return AdaptSource(rate, c, src);
    }
  }
  return SourceRef();
}

void Player::Stop() {
  if (state_.load() == 0) return;
  state_ = 0;
  WorkerThread::Stop();
  if (out_) {
    out_->reset();
    out_->close();
    out_.reset();
  }
  for (Block& b : blocks_) std::vector<int16_t>().swap(b.pcm);
  std::vector<int32_t>().swap(scratch_);
  source_.resetNull();
  origin_.resetNull();
  finished_ = positionChanged_ = 0;
  position_ = 0;
  listener_->OnStopped(cookie_);
}

void Player::OnNotify() {
  if (finished_.load() != 0) {
    const uint32_t ms = framesToMs(origin_->Length());
    listener_->OnPosition(&ms, cookie_);
    if (finished_.load() != 0) Stop();
    return;
  }
  if (positionChanged_.exchange(0) != 0) {
    const uint32_t ms = framesToMs(position_.load());
    listener_->OnPosition(&ms, cookie_);
    const LevelReport copy = levels();
    listener_->OnLevels(&copy, cookie_);
  }
}

void Player::Run() {
  using platform::kPriorityBelowNormal;
  using platform::kPriorityNormal;
  using platform::kPriorityTimeCritical;
  feederTid_ = platform::currentThreadId();
  // The device thread: real-time where rtkit grants it (the priority steps below then
  // leave it as it is).
  platform::makeCurrentThreadRealtime();
  for (Block& b : blocks_) b.free = 1;
  // Counted before any block is queued: a short block may be done before the watcher runs.
  watchBase_ = out_->completedBlocks();
  CompletionWatcher watcher(*this);
  watcher.Start(kPriorityNormal);
  feederRaised_ = 0;
  completionRun_ = 0;
  uint32_t b = 0;
  bool watcherRaised = false;
  bool drain = false;
  bool fed = false;      // live: a block went in, and the source has had data since
  float volume = -1.0f;  // the stream volume last handed on: none yet

  while (!stopRequested()) {
    blockFree_.reset();
    Block& block = blocks_[b];
    if (block.free.load() == 0) {
      // All eight queued: the watcher must keep up, the feeder can wait.
      if (!watcherRaised) {
        setPriority(watcherTid_, kPriorityTimeCritical);
        watcherRaised = true;
      }
      completionRun_ = 0;
      if (feederRaised_.exchange(0) != 0) setPriority(feederTid_, kPriorityBelowNormal);
      base::WaitForEventOrStop(*this, blockFree_, 1000);
      continue;
    }
    int32_t available = source_->available();
    bool leave = false;
    while (available <= 0) {
      if (!source_->MoreComing()) {
        drain = true;
        break;
      }
      if (stopRequested()) {
        leave = true;
        break;
      }
      // The source ran dry: the feeder must catch the next data at once.
      fed = false;
      if (feederRaised_.exchange(1) == 0) setPriority(feederTid_, kPriorityTimeCritical);
      if (watcherRaised) {
        setPriority(watcherTid_, kPriorityNormal);
        watcherRaised = false;
      }
      source_->Wait(150);
      available = source_->available();
    }
    if (drain || leave) break;
    if (live_ && deviceHoldsShare(fed)) {
      base::WaitForEventOrStop(*this, blockFree_, static_cast<int>(refillWaitMs_));
      continue;
    }

    const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(available), framesPerBlock_);
    source_->Read(scratch_.data(), n);
    followStreamVolume(volume);
    toBlockSamples(block, n);
    block.levels.count = static_cast<uint8_t>(std::min<uint32_t>(channels_, 255));
    for (uint32_t c = 0; c < block.levels.count; ++c)
      block.levels.levels[c] = powerLevel(scratch_.data(), n, channels_, c);
    block.endPosition = origin_->Position();  // in the caller's source, also when converted
    block.frames = n;
    block.free = 0;
    if (!out_->write(block.pcm.data(), n)) {
      base::logError("The playback device failed: ", out_->lastError());
      block.free = 1;
      drain = true;
      break;
    }
    b = (b + 1) % blockCount_;
    fed = true;
  }

  if (drain) {
    // The source is done: report the end once the last block has sounded.
    Block& last = blocks_[(b + blockCount_ - 1) % blockCount_];
    while (!stopRequested()) {
      blockFree_.reset();
      if (last.free.load() != 0) {
        finished_ = 1;
        Post();
        break;
      }
      base::WaitForEventOrStop(*this, blockFree_, 1000);
    }
  }
  watcher.Stop();
  out_->reset();
  feederTid_ = 0;
}

void Player::followStreamVolume(float& applied) {
  const float volume = streamVolume_.load();
  if (volume == applied) return;
  applied = volume;
  sampleGain_ = out_->setStreamVolume(volume) ? 1 << 16 : std::llround(volume * 65536.0);
}

void Player::toBlockSamples(Block& block, uint32_t n) const {
  // The internal samples carry 4 bits below the 16-bit ones: at unity this rounds them off.
  for (size_t i = 0; i < static_cast<size_t>(n) * channels_; ++i) {
    const int64_t v = (scratch_[i] * sampleGain_ + (int64_t{1} << 19)) >> 20;
    block.pcm[i] = static_cast<int16_t>(std::clamp<int64_t>(v, -32768, 32767));
  }
}

bool Player::deviceHoldsShare(bool late) {
  uint64_t share = liveShare_.load();
  const uint64_t device = out_->queuedFrames();
  liveQueued_ = static_cast<uint32_t>(device * rate_ / deviceRate_);
  const uint64_t step = deviceRate_ * 5 / 1000;
  if (late && device < step && share + step <= deviceRate_ * kLiveQueueMostMs / 1000) {
    // A loaded machine does not wake the feeder in time: a longer queue, not a gap each time.
    share += step;
    liveShare_ = static_cast<uint32_t>(share);
    base::logFormat(base::LogLevel::Info, "Playback: device queue %u ms", deviceQueueMs());
  }
  if (device < share) return false;
  // Back as the device goes below its share, so that it never runs nearly dry: an echo
  // path that moves with the device's fill would not stay where the echo control found it.
  refillWaitMs_ = static_cast<uint32_t>(
      std::min<uint64_t>((device - share) * 1000 / deviceRate_ + 1, kRefillWaitMs));
  return true;
}

void Player::watch(CompletionWatcher& watcher) {
  watcherTid_ = platform::currentThreadId();
  uint32_t index = 0;
  uint64_t seen = watchBase_;
  while (!watcher.stopRequested()) {
    if (out_->completedBlocks() <= seen) {
      out_->waitCompletion(seen, watcher.stopEvent().fd(), 1000);
      continue;
    }
    Block& block = blocks_[index];
    positionTick_ = platform::tickMs();
    position_ = block.endPosition;
    {
      std::lock_guard lock(levelsMutex_);
      current_ = block.levels;
    }
    block.free = 1;
    blockFree_.set();
    // Blocks keep completing without the queue filling up: help the feeder.
    if (completionRun_.fetch_add(1) >= 5 && feederRaised_.exchange(1) == 0)
      setPriority(feederTid_, platform::kPriorityTimeCritical);
    positionChanged_ = 1;
    Post();
    index = (index + 1) % blockCount_;
    ++seen;
  }
  watcherTid_ = 0;
}

}  // namespace quillet::audio
