// SPDX-License-Identifier: Apache-2.0
// The intercom cue tone and the source that puts it before a call's audio and takes the
// delay standing in the playback queue back in the pauses.
#include "audio/cue_tone.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <vector>

#include "base/log.h"

namespace quillet::audio {

namespace {

constexpr uint32_t kBeepMs = 100;
constexpr uint32_t kGapMs = 40;
constexpr uint32_t kRampMs = 5;        // soft edges: no clicks
constexpr double kPeak = 8192.0 * 16;  // about -12 dB of full scale, in internal units

// The cue as mono samples at the rate: low beep, gap, high beep, silence to kCueMs.
std::vector<int32_t> cueSamples(uint32_t rate) {
  const auto frames = [rate](uint32_t ms) {
    return static_cast<uint32_t>(uint64_t{rate} * ms / 1000);
  };
  std::vector<int32_t> samples(frames(kCueMs), 0);
  const uint32_t beep = frames(kBeepMs);
  const uint32_t ramp = std::max<uint32_t>(frames(kRampMs), 1);
  const uint32_t starts[2] = {0, beep + frames(kGapMs)};
  const uint32_t hertz[2] = {kCueLowHz, kCueHighHz};
  for (int b = 0; b < 2; ++b) {
    for (uint32_t i = 0; i < beep && starts[b] + i < samples.size(); ++i) {
      const double edge = std::min({1.0, double(i) / ramp, double(beep - 1 - i) / ramp});
      const double phase = 2 * std::numbers::pi * hertz[b] * i / rate;
      samples[starts[b] + i] = static_cast<int32_t>(std::lround(kPeak * edge * std::sin(phase)));
    }
  }
  return samples;
}

// What queues behind the cue (or stands in a live call's playback queue) is left out in its
// pauses (quiet below about -36 dB of full scale, in 10 ms pieces, past the first 50 ms of
// each pause so that the quiet moments inside a word stay) until the delay is paid back,
// keeping 20 ms queued above what playback needs: the call's audio is then as early as it
// would have been without the cue or the backlog. Voice is never left out. A live queue
// that went short of that is topped up the same way, a quiet piece played twice.
constexpr int32_t kQuietPeak = 512 * 16;
constexpr uint32_t kPieceMs = 10;
constexpr uint32_t kKeepMs = 20;
constexpr uint32_t kPauseKeptMs = 50;

class CallSource : public SourceFilter {
 public:
  // No cue when `cue` is false.
  CallSource(SourceRef then, bool cue, const PlaybackQueue& queue)
      : SourceFilter(std::move(then)),
        cue_(cue ? cueSamples(rate()) : std::vector<int32_t>()),
        queue_(queue),
        piece_(std::max<uint32_t>(rate() * kPieceMs / 1000, 1)),
        held_(static_cast<size_t>(piece_) * channels()),
        owed_(static_cast<uint32_t>(cue_.size())) {}
  ~CallSource() override {
    base::logFormat(base::LogLevel::Info,
                    "Playback: %u ms of delay taken out of pauses, %u ms put in",
                    framesToMs(dropped_), framesToMs(inserted_));
  }

  void Read(int32_t* buffer, uint32_t frames) override {
    const uint32_t channels = this->channels();
    while (frames > 0 && done_ < cue_.size()) {
      for (uint32_t c = 0; c < channels; ++c) *buffer++ = cue_[done_];
      ++done_;
      --frames;
    }
    if (frames > 0) follow(frames);
    // While delay is owed or short, every piece is looked at before it plays.
    while (frames > 0) {
      if (heldFrames_ == 0 && repeat_) {
        repeat_ = false;
        heldFrames_ = piece_;  // the quiet piece just played, again
        inserted_ += piece_;
        short_ -= std::min(short_, piece_);
      }
      if (heldFrames_ == 0) catchUp();
      if (heldFrames_ == 0) {
        source_->Read(buffer, frames);
        return;
      }
      const uint32_t n = std::min(frames, heldFrames_);
      const size_t offset = static_cast<size_t>(piece_ - heldFrames_) * channels;
      std::copy_n(held_.begin() + static_cast<std::ptrdiff_t>(offset),
                  static_cast<size_t>(n) * channels, buffer);
      heldFrames_ -= n;
      buffer += static_cast<size_t>(n) * channels;
      frames -= n;
    }
  }
  uint32_t Position() override {
    return source_->Position() - heldFrames_ - dropped_ + inserted_ + done_;
  }
  uint32_t Length() override {
    return source_->Length() - dropped_ + inserted_ + static_cast<uint32_t>(cue_.size()) +
           (repeat_ ? piece_ : 0);
  }
  bool MoreComing() override { return done_ < cue_.size() || source_->MoreComing(); }
  void Wait(uint32_t ms) override {
    if (done_ >= cue_.size()) source_->Wait(ms);
  }

 private:
  // Measures the queue (behind the source's reader, here and in `then`) over windows of a
  // second of audio read. What stood above what playback needs and the 20 ms kept through
  // a whole window is owed (superseding the cue's count, which the measure holds too);
  // what it went short of that, from the second window on, is put back, 20 ms at most.
  void follow(uint32_t frames) {
    const uint64_t queued =
        uint64_t{queue_.queuedFrames()} + static_cast<uint32_t>(std::max(available(), 0));
    least_ = std::min(least_, queued);
    windowRead_ += frames;
    if (windowRead_ < rate()) return;
    const uint64_t floor = uint64_t{queue_.neededFrames()} + rate() * kKeepMs / 1000;
    // A new debt: the pause it is paid from is looked at from its start.
    if (owed_ < piece_ / 4 && short_ < piece_ / 2) quietRun_ = 0;
    owed_ = static_cast<uint32_t>(least_ > floor ? least_ - floor : 0);
    short_ = windows_ > 0 && least_ + piece_ / 2 < floor
                 ? static_cast<uint32_t>(std::min<uint64_t>(floor - least_, 2 * piece_))
                 : 0;
    ++windows_;
    least_ = UINT64_MAX;
    windowRead_ = 0;
  }

  void catchUp() {
    // A piece is looked at when it is there; it may go only with 20 ms more behind it.
    const auto keep = static_cast<int32_t>(short_ >= piece_ / 2 ? 0 : rate() * kKeepMs / 1000);
    while ((owed_ >= piece_ / 4 || short_ >= piece_ / 2) && heldFrames_ == 0 &&
           source_->available() >= static_cast<int32_t>(piece_) + keep) {
      source_->Read(held_.data(), piece_);
      int32_t peak = 0;
      for (int32_t v : held_) peak = std::max(peak, std::abs(v));
      if (peak >= kQuietPeak) quietRun_ = 0;
      if (peak >= kQuietPeak || quietRun_ < rate() * kPauseKeptMs / 1000) {
        quietRun_ += peak >= kQuietPeak ? 0 : piece_;
        heldFrames_ = piece_;  // it plays, and the catching up waits for a pause
        return;
      }
      if (short_ >= piece_ / 2) {
        heldFrames_ = piece_;
        repeat_ = true;
        return;
      }
      // The piece goes, or as much of its start as is owed.
      const uint32_t cut = std::min(owed_, piece_);
      owed_ -= cut;
      dropped_ += cut;
      heldFrames_ = piece_ - cut;
    }
  }

  std::vector<int32_t> cue_;
  const PlaybackQueue& queue_;
  uint64_t least_ = UINT64_MAX;  // the least queued in the current window
  uint32_t windowRead_ = 0;      // frames read in it
  uint32_t windows_ = 0;         // windows measured
  uint32_t done_ = 0;
  const uint32_t piece_;
  std::vector<int32_t> held_;  // a piece read to be looked at, played from its end part
  uint32_t heldFrames_ = 0;
  uint32_t owed_;        // frames of delay not yet paid back
  uint32_t short_ = 0;   // frames the live queue is short of
  bool repeat_ = false;  // the held piece plays once more
  uint32_t dropped_ = 0;
  uint32_t inserted_ = 0;
  uint32_t quietRun_ = 0;  // frames of the current pause looked at
};

}  // namespace

SourceRef MakeCallSource(const SourceRef& then, bool cue, const PlaybackQueue& queue) {
  if (then->isNull()) return then;
  return SourceRef(new CallSource(then, cue, queue));
}

}  // namespace quillet::audio
