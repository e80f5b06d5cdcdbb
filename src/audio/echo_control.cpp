// SPDX-License-Identifier: Apache-2.0
// The call's echo control: speaker history on one timeline, the microphone lined up with
// it by the Player's position, the canceller in 20 ms frames and the suppressor after it.
#include "audio/echo_control.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "audio/echo_settings.h"
#include "platform/tick.h"

namespace quillet::audio {

namespace {

// The Player's position is published late by up to a sound server's period and jumps at its
// start and on underruns: the median estimate of the last second is taken. A change of it
// this large (the far end paused, a device restarted) moves the alignment; smaller ones
// leave the reference running on, so that the canceller keeps what it learned.
constexpr int64_t kResyncMs = 5;
constexpr size_t kEstimates = 50;  // frames (1 s) of estimates
// The reference runs this much ahead of the position: a position that comes a period late
// would otherwise put the echo before its reference, where no filter can reach it; the
// canceller's tail takes the lead in its stride.
constexpr int64_t kLeadMs = 20;
// A 20 ms frame with the far end this loud (mean square, 16-bit) and an echo this loud in
// the microphone tells how well the canceller does (about -50 and -60 dBFS).
constexpr double kFarActive = 100.0 * 100.0;
constexpr double kEchoHeard = 30.0 * 30.0;
constexpr int32_t kHalfOpen = 0x800000;  // a band gain of one half
// Less than this read for the speaker and not yet sounded, and less than half the usual: its
// device is about to run dry, or short of a sound server's period, and what it plays next
// may sound later than its position says (the far end's stream stalled and came back in a
// burst).
constexpr int64_t kThinMs = 15;

// The median of the first n values (a second's worth, taken by value to sort).
int64_t median(std::array<int64_t, kEstimates> values, size_t n) {
  std::nth_element(values.begin(), values.begin() + n / 2, values.begin() + n);
  return values[n / 2];
}

EchoConfig seeded(EchoConfig config) {
  auto& echo = config.learned.echo;
  if (std::all_of(echo.begin(), echo.end(), [](int32_t c) { return c <= 0; }))
    echo.fill(EchoControl::kStartCoupling);
  return config;
}

int16_t toPcm(int32_t x) {
  return static_cast<int16_t>(std::clamp((x + 8) >> 4, -32768, 32767));
}

}  // namespace

// The play position of a source at the other of 8000 and 16000 Hz in frames at the echo
// control's rate, as the tap hands its sound on.
class EchoControl::ScaledPosition : public PlayPosition {
 public:
  ScaledPosition(const PlayPosition* player, uint32_t rate) : player_(player), rate_(rate) {}
  uint32_t playPosition() const override {
    const uint32_t played = player_->playRate();
    if (played == 2 * rate_) return player_->playPosition() / 2;
    if (2 * played == rate_) return player_->playPosition() * 2;
    return player_->playPosition();
  }
  uint32_t playPositionTick() const override { return player_->playPositionTick(); }
  uint32_t playRate() const override {
    const uint32_t played = player_->playRate();
    return played == 2 * rate_ || 2 * played == rate_ ? rate_ : played;
  }

 private:
  const PlayPosition* player_;
  uint32_t rate_;
};

class EchoControl::Tap : public SourceFilter {
 public:
  Tap(SourceRef source, EchoControl* control, uint32_t generation)
      : SourceFilter(std::move(source)),
        control_(control),
        generation_(generation),
        fold_(source_->rate() == 2 * control->rate()),
        double_(2 * source_->rate() == control->rate()) {}

  void Read(int32_t* buffer, uint32_t frames) override {
    source_->Read(buffer, frames);
    if (control_->generation_.load() != generation_) return;  // a newer source took over
    uint32_t position = source_->Position();
    const int32_t* heard = buffer;
    uint32_t count = frames;
    if (fold_ || double_) {
      converted_.clear();
      for (uint32_t i = 0; i < frames; ++i) {
        if (double_) {
          converted_.push_back((held_ + buffer[i]) / 2);
          converted_.push_back(buffer[i]);
        } else if (pending_) {
          converted_.push_back((held_ + buffer[i]) / 2);
        }
        held_ = buffer[i];
        pending_ = !pending_;
      }
      heard = converted_.data();
      count = static_cast<uint32_t>(converted_.size());
      position = fold_ ? position / 2 : position * 2;
    }
    if (first_) {
      // The new source continues the timeline where the last one stopped.
      control_->tapStart_ = control_->written_.load();
      control_->offset_ = control_->tapStart_.load() - (int64_t{position} - count);
      first_ = false;
    }
    control_->speaker(heard, count, position);
  }

 private:
  StreamRef<EchoControl> control_;
  uint32_t generation_;
  bool first_ = true;
  const bool fold_;    // a 16000 Hz source, heard at 8000 Hz
  const bool double_;  // an 8000 Hz source, heard at 16000 Hz
  bool pending_ = false;
  int32_t held_ = 0;
  std::vector<int32_t> converted_;
};

// With the canceller, the suppressor gates the cancelled signal, and a second suppressor
// learns the room's echo on the plain microphone: its values are the ones stored, so that
// the next call's gate starts from the whole echo until the canceller has lined up.
EchoControl::EchoControl(const PlayPosition* player, EchoConfig config, bool canceller,
                         bool denoise, uint32_t rate)
    : AudioSink(rate == 2 * kRate ? rate : kRate, 1),
      kept_(static_cast<uint32_t>(samples(kHistoryMs))),
      frame_(static_cast<uint32_t>(samples(20))),
      scaled_(player != nullptr ? std::make_unique<ScaledPosition>(player, this->rate()) : nullptr),
      player_(scaled_.get()),
      history_(new std::atomic<int16_t>[kept_]) {
  config = seeded(std::move(config));
  if (canceller) {
    canceller_ = std::make_unique<EchoCanceller>(kTailMs, this->rate());
    EchoConfig gate = config;
    gate.store = nullptr;
    suppressor_.emplace(makeStream<EchoSuppressor>(player_, std::move(gate), this->rate()));
    learner_.emplace(makeStream<EchoSuppressor>(player_, std::move(config), this->rate()));
    (*suppressor_)->limitTo(&**learner_);
    if (denoise) denoiser_ = std::make_unique<NoiseSuppressor>(canceller_.get(), this->rate());
    mic_.assign(frame_, 0);
    ref_.assign(frame_, 0);
    clean_.assign(frame_, 0);
    out_.assign(frame_, 0);
  } else {
    suppressor_.emplace(makeStream<EchoSuppressor>(player_, std::move(config), this->rate()));
  }
  if (denoise && !canceller) {
    // Without the canceller the noise suppressor comes after the gate: in front of it, it
    // would change the echo the gate learns and compares with what the speaker played.
    after_.emplace(makeStream<NoiseSuppressingSink>(SinkRef(AudioSink::newNull()), this->rate()));
    (*suppressor_)->setDownstream(*after_);
  }
  for (uint32_t i = 0; i < kept_; ++i) history_[i].store(0, std::memory_order_relaxed);
}

void EchoControl::setOutput(const SinkRef& sink) {
  std::lock_guard lock(mutex_);
  if (after_) {
    (*after_)->setDownstream(sink);
  } else {
    (*suppressor_)->setDownstream(sink);
  }
  position_ = sink->position();
  fill_ = 0;
}

void EchoControl::Seek(uint32_t position) {
  std::lock_guard lock(mutex_);
  (*suppressor_)->Seek(position);
  position_ = position;
  fill_ = 0;
}

SourceRef EchoControl::tap(const SourceRef& played) {
  const auto rate = static_cast<uint32_t>(played->rate());
  if (played->isNull() || (rate != kRate && rate != 2 * kRate) || played->channels() != 1)
    return played;
  const uint32_t generation = generation_.fetch_add(1) + 1;
  return SourceRef(new Tap(played, this, generation));
}

void EchoControl::speaker(const int32_t* samples, uint32_t frames, uint32_t position) {
  // The timeline follows the source's position, which the Player's position is given in.
  const int64_t end = int64_t{position} + offset_.load();
  const int64_t start = end - frames;
  const int64_t at = written_.load(std::memory_order_relaxed);
  // Frames the source skipped (its playout dropped them to catch up) never sounded.
  for (int64_t p = std::max(at, start - int64_t{kept_}); p < start; ++p)
    history_[static_cast<size_t>(p % kept_)].store(0, std::memory_order_relaxed);
  for (uint32_t i = 0; i < frames; ++i)
    history_[static_cast<size_t>((start + i) % kept_)].store(toPcm(samples[i]),
                                                             std::memory_order_relaxed);
  written_.store(end, std::memory_order_release);
  (*suppressor_)->farEnd(samples, frames, position);
  if (learner_) (*learner_)->farEnd(samples, frames, position);
}

int64_t EchoControl::soundingNow() const {
  const int64_t written = written_.load(std::memory_order_acquire);
  if (player_ == nullptr || written == 0 || player_->playRate() != rate()) return -1;
  const int64_t heard = int64_t{player_->playPosition()} + offset_.load();
  // Until the first block of the source has sounded the device's start-up latency is unknown.
  if (heard <= tapStart_.load()) return -1;
  // A tick taken after ours reads as a huge elapsed time: none.
  const uint32_t sinceTick = platform::tickMs() - player_->playPositionTick();
  const uint32_t elapsedMs = sinceTick > 0x80000000u ? 0 : sinceTick;
  const int64_t now = heard + samples(std::min<uint32_t>(elapsedMs, 1000));
  return std::min(now, written);
}

void EchoControl::Write(const int32_t* samples, uint32_t frames) {
  std::lock_guard lock(mutex_);
  position_ += frames;
  if (!canceller_) {
    (*suppressor_)->Write(samples, frames);
    return;
  }
  (*learner_)->Write(samples, frames);
  for (uint32_t i = 0; i < frames; ++i) {
    mic_[fill_++] = toPcm(samples[i]);
    if (fill_ == frame_) cancelFrame();
  }
}

// The timeline sample that lines up with the next microphone frame, or -1 while unknown,
// from the speaker sample sounding now.
int64_t EchoControl::alignedStart(int64_t now) {
  const int64_t frame = frame_;
  // The frame just captured ends about when the sample sounding now left the speaker; the
  // capture latency only puts the echo later, where the filter's tail finds it.
  if (now < 0) return next_;
  const int64_t ahead = std::min(now + samples(kLeadMs), written_.load(std::memory_order_acquire));
  estimates_[estimateCount_++ % kEstimates] = ahead - (micFrames_ + frame);
  const int64_t target = micFrames_ + median(estimates_, std::min(estimateCount_, kEstimates));
  return next_ < 0 || std::llabs(next_ - target) > samples(kResyncMs) ? target : next_;
}

// Whether the speaker's queue (read, not yet sounded) ran thin against its last second.
bool EchoControl::ranThin(int64_t queued) {
  queued_[queuedCount_++ % kEstimates] = queued;
  return queued < samples(kThinMs) &&
         2 * queued < median(queued_, std::min(queuedCount_, kEstimates));
}

void EchoControl::cancelFrame() {
  const int64_t frame = frame_;
  const int64_t now = soundingNow();
  const int64_t aligned = alignedStart(now);
  const bool realigned = next_ >= 0 && aligned != next_;
  next_ = aligned;
  const int64_t written = written_.load(std::memory_order_acquire);
  const bool thin = now >= 0 && ranThin(written - now);
  for (int64_t i = 0; i < frame; ++i) {
    const int64_t pos = next_ + i;
    const bool held = next_ >= 0 && pos >= 0 && pos < written && pos >= written - kept_ / 2;
    ref_[static_cast<size_t>(i)] =
        held ? history_[static_cast<size_t>(pos % kept_)].load(std::memory_order_relaxed) : 0;
  }
  if (next_ >= 0) next_ += frame;
  micFrames_ += frame;
  canceller_->process(mic_.data(), ref_.data(), clean_.data());
  // A canceller that adds echo (its echo path no longer fits: the devices' latency changed
  // since it learned) is left out of this frame; the suppressor still gates the echo.
  FrameEnergy e;
  for (size_t i = 0; i < clean_.size(); ++i) {
    const double taken = static_cast<double>(mic_[i]) - clean_[i];
    e.in += static_cast<double>(mic_[i]) * mic_[i];
    e.out += static_cast<double>(clean_[i]) * clean_[i];
    e.reference += static_cast<double>(ref_[i]) * ref_[i];
    e.taken += taken * taken;
  }
  followConvergence(e, realigned, thin);
  // Only a reference heard within the canceller's tail can bring echo back in.
  farFrames_ = e.reference >= kFarActive * frame ? kTailFrames : std::max(farFrames_ - 1, 0);
  mix(farFrames_ > 0 && e.out > e.in);
  // The output is denoised whichever microphone it holds, so that the noise does not come
  // and go with the choice and the suppressor's noise estimate runs on.
  if (denoiser_) {
    denoiser_->followEcho(farFrames_ > 0);
    denoiser_->process(out_.data());
  }
  (*suppressor_)->Write(out_.data(), frame_);
  fill_ = 0;
}

// The frame's output: the cancelled microphone, or the plain one where the canceller added
// to it. The two differ in phase (the canceller's DC notch and pre-emphasis), so a change
// from one to the other is faded across the frame instead of cut.
void EchoControl::mix(bool plain) {
  const auto n = static_cast<int32_t>(out_.size());
  const std::vector<int16_t>& from = plain_ ? mic_ : clean_;
  const std::vector<int16_t>& to = plain ? mic_ : clean_;
  for (int32_t i = 0; i < n; ++i)
    out_[static_cast<size_t>(i)] = (int32_t{from[static_cast<size_t>(i)]} * (n - i) +
                                    int32_t{to[static_cast<size_t>(i)]} * i) *
                                   16 / n;
  plain_ = plain;
}

// The canceller's enhancement, smoothed over frames in which the far end talks, its echo is
// heard and the plain microphone's suppressor hears no near end (in double talk the
// enhancement cannot be told). Below kDivergedDb (the echo path moved, the canceller lost
// it) or after a jump in the alignment the gate goes back under that suppressor; so it does
// at once when the speaker's queue runs thin and on a frame of echo alone in which what the
// canceller took out does not match what the microphone heard.
void EchoControl::followConvergence(const FrameEnergy& e, bool realigned, bool thin) {
  const double frame = frame_;
  if (realigned) erleDb_ = std::min(erleDb_, 0.0);
  bool nearEnd = false;
  for (uint32_t b = 0; b < EchoSuppressor::kBands; ++b)
    nearEnd = nearEnd || (*learner_)->targetGain(b) >= kHalfOpen;
  const bool heard = !nearEnd && e.in >= kEchoHeard * frame;
  const double db = std::clamp(10 * std::log10(e.in / (e.out + 1)), -10.0, 40.0);
  if (realigned || (heard && e.reference >= kFarActive * frame)) erleDb_ += (db - erleDb_) / 8;
  // What the canceller took out did not come out of the microphone: its echo path no
  // longer holds.
  const double kept = e.taken >= e.in ? e.in - kFitting * e.taken : e.in;
  if (thin || (heard && e.taken >= kEchoHeard * frame && e.out > kept))
    erleDb_ = std::min(erleDb_, kDivergedDb - 1);
  const bool converged = converged_ ? erleDb_ >= kDivergedDb : erleDb_ >= kConvergedDb;
  if (converged != converged_) {
    converged_ = converged;
    (*suppressor_)->limitTo(converged ? nullptr : &**learner_);
  }
}

StreamRef<EchoControl> CreateEchoControl(const PlayPosition* player, base::SettingsStore& store,
                                         uint32_t rate) {
  return makeStream<EchoControl>(player, loadEchoConfig(store), useEchoCanceller(store),
                                 useNoiseSuppression(store), rate);
}

}  // namespace quillet::audio
