// The call's echo control: speaker history on one timeline, the microphone lined up with
// it by the Player's position, the canceller in 20 ms frames and the suppressor after it.
#include "audio/echo_control.h"

#include <algorithm>
#include <cstdlib>

#include "audio/echo_settings.h"
#include "platform/tick.h"

namespace quillet::audio {

namespace {

// A jump of the Player's position this large (60 ms) moves the alignment at once; smaller
// differences are the position's own jitter and leave the reference running on.
constexpr int64_t kResync = 480;

int16_t toPcm(int32_t x) {
  return static_cast<int16_t>(std::clamp((x + 8) >> 4, -32768, 32767));
}

}  // namespace

class EchoControl::Tap : public SourceFilter {
 public:
  Tap(SourceRef source, EchoControl* control, uint32_t generation)
      : SourceFilter(std::move(source)), control_(control), generation_(generation) {}

  void Read(int32_t* buffer, uint32_t frames) override {
    source_->Read(buffer, frames);
    if (control_->generation_.load() != generation_) return;  // a newer source took over
    const uint32_t position = source_->Position();
    if (first_) {
      // The new source continues the timeline where the last one stopped.
      control_->offset_ = control_->written_.load() - (int64_t{position} - frames);
      first_ = false;
    }
    control_->speaker(buffer, frames, position);
  }

 private:
  StreamRef<EchoControl> control_;
  uint32_t generation_;
  bool first_ = true;
};

EchoControl::EchoControl(const PlayPosition* player, EchoConfig config, bool canceller)
    : AudioSink(kRate, 1),
      player_(player),
      suppressor_(makeStream<EchoSuppressor>(player, std::move(config))),
      history_(new std::atomic<int16_t>[kHistory]) {
  if (canceller) {
    canceller_ = std::make_unique<EchoCanceller>(kTailMs);
    mic_.assign(EchoCanceller::kFrame, 0);
    ref_.assign(EchoCanceller::kFrame, 0);
    clean_.assign(EchoCanceller::kFrame, 0);
    out_.assign(EchoCanceller::kFrame, 0);
  }
  for (uint32_t i = 0; i < kHistory; ++i) history_[i].store(0, std::memory_order_relaxed);
}

void EchoControl::setOutput(const SinkRef& sink) {
  std::lock_guard lock(mutex_);
  suppressor_->setDownstream(sink);
  position_ = sink->position();
  fill_ = 0;
}

void EchoControl::Seek(uint32_t position) {
  std::lock_guard lock(mutex_);
  suppressor_->Seek(position);
  position_ = position;
  fill_ = 0;
}

SourceRef EchoControl::tap(const SourceRef& played) {
  if (played->isNull() || played->rate() != static_cast<int32_t>(kRate) || played->channels() != 1)
    return played;
  const uint32_t generation = generation_.fetch_add(1) + 1;
  return SourceRef(new Tap(played, this, generation));
}

void EchoControl::speaker(const int32_t* samples, uint32_t frames, uint32_t position) {
  const int64_t at = written_.load(std::memory_order_relaxed);
  for (uint32_t i = 0; i < frames; ++i)
    history_[static_cast<size_t>((at + i) % kHistory)].store(toPcm(samples[i]),
                                                             std::memory_order_relaxed);
  written_.store(at + frames, std::memory_order_release);
  suppressor_->farEnd(samples, frames, position);
}

int64_t EchoControl::soundingNow() const {
  const int64_t written = written_.load(std::memory_order_acquire);
  if (player_ == nullptr || written == 0 || player_->playRate() != kRate) return -1;
  const uint32_t elapsedMs = platform::tickMs() - player_->playPositionTick();
  const int64_t now = int64_t{player_->playPosition()} + offset_.load() +
                      int64_t{std::min<uint32_t>(elapsedMs, 1000)} * kRate / 1000;
  return std::min(now, written);
}

void EchoControl::Write(const int32_t* samples, uint32_t frames) {
  std::lock_guard lock(mutex_);
  position_ += frames;
  if (!canceller_) {
    suppressor_->Write(samples, frames);
    return;
  }
  for (uint32_t i = 0; i < frames; ++i) {
    mic_[fill_++] = toPcm(samples[i]);
    if (fill_ == EchoCanceller::kFrame) cancelFrame();
  }
}

void EchoControl::cancelFrame() {
  constexpr int64_t kFrame = EchoCanceller::kFrame;
  // The frame just captured ends about when the sample sounding now left the speaker; the
  // capture latency only puts the echo later, where the filter's tail finds it.
  const int64_t now = soundingNow();
  if (now >= 0 && (next_ < 0 || std::llabs(next_ + kFrame - now) > kResync)) next_ = now - kFrame;
  const int64_t written = written_.load(std::memory_order_acquire);
  for (int64_t i = 0; i < kFrame; ++i) {
    const int64_t pos = next_ + i;
    const bool held = next_ >= 0 && pos >= 0 && pos < written && pos >= written - kHistory / 2;
    ref_[static_cast<size_t>(i)] =
        held ? history_[static_cast<size_t>(pos % kHistory)].load(std::memory_order_relaxed) : 0;
  }
  if (next_ >= 0) next_ += kFrame;
  canceller_->process(mic_.data(), ref_.data(), clean_.data());
  for (size_t i = 0; i < clean_.size(); ++i) out_[i] = int32_t{clean_[i]} * 16;
  suppressor_->Write(out_.data(), EchoCanceller::kFrame);
  fill_ = 0;
}

StreamRef<EchoControl> CreateEchoControl(const PlayPosition* player, base::SettingsStore& store) {
  return makeStream<EchoControl>(player, loadEchoConfig(store), useEchoCanceller(store));
}

}  // namespace quillet::audio
