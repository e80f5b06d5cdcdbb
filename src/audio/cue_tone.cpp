// The intercom cue tone and the source that puts it before a call's audio.
#include "audio/cue_tone.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

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

class CueSource : public SourceFilter {
 public:
  explicit CueSource(SourceRef then) : SourceFilter(std::move(then)), cue_(cueSamples(rate())) {}

  void Read(int32_t* buffer, uint32_t frames) override {
    const uint32_t channels = this->channels();
    while (frames > 0 && done_ < cue_.size()) {
      for (uint32_t c = 0; c < channels; ++c) *buffer++ = cue_[done_];
      ++done_;
      --frames;
    }
    if (frames > 0) source_->Read(buffer, frames);
  }
  uint32_t Position() override { return source_->Position() + done_; }
  uint32_t Length() override { return source_->Length() + static_cast<uint32_t>(cue_.size()); }
  bool MoreComing() override { return done_ < cue_.size() || source_->MoreComing(); }
  void Wait(uint32_t ms) override {
    if (done_ >= cue_.size()) source_->Wait(ms);
  }

 private:
  std::vector<int32_t> cue_;
  uint32_t done_ = 0;
};

}  // namespace

SourceRef MakeCueSource(const SourceRef& then) {
  if (then->isNull()) return then;
  return SourceRef(new CueSource(then));
}

}  // namespace quillet::audio
