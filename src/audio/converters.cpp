// SPDX-License-Identifier: Apache-2.0
// Channel adapters, resampler factories, the peak limiter, the loop source and the two chain
// builders.
#include "audio/converters.h"

#include <algorithm>
#include <vector>

#include "audio/resampler.h"

namespace quillet::audio {

namespace {

constexpr uint32_t kAdapterFrames = 8192;
constexpr int32_t kUnity = 0x1000000;

// ---- capture-side adapters ----

class StereoToMonoSink : public AudioSink {
 public:
  explicit StereoToMonoSink(SinkRef down)
      : AudioSink(down->rate(), 2), down_(std::move(down)), buf_(kAdapterFrames) {}
  void Write(const int32_t* samples, uint32_t frames) override {
    position_ += frames;
    while (frames > 0) {
      const uint32_t n = std::min(frames, kAdapterFrames);
      for (uint32_t i = 0; i < n; ++i) buf_[i] = (samples[2 * i] + samples[2 * i + 1]) >> 1;
      down_->Write(buf_.data(), n);
      samples += static_cast<size_t>(n) * 2;
      frames -= n;
    }
  }
  void Seek(uint32_t position) override {
    position_ = position;
    down_->Seek(position);
  }

 private:
  SinkRef down_;
  std::vector<int32_t> buf_;
};

class MonoToStereoSink : public AudioSink {
 public:
  explicit MonoToStereoSink(SinkRef down)
      : AudioSink(down->rate(), 1), down_(std::move(down)), buf_(kAdapterFrames * 2) {}
  void Write(const int32_t* samples, uint32_t frames) override {
    position_ += frames;
    while (frames > 0) {
      const uint32_t n = std::min(frames, kAdapterFrames);
      for (uint32_t i = 0; i < n; ++i) buf_[2 * i] = buf_[2 * i + 1] = samples[i];
      down_->Write(buf_.data(), n);
      samples += n;
      frames -= n;
    }
  }
  void Seek(uint32_t position) override {
    position_ = position;
    down_->Seek(position);
  }

 private:
  SinkRef down_;
  std::vector<int32_t> buf_;
};

// ---- source-side adapters ----

class StereoToMonoSource : public SourceFilter {
 public:
  // L + R can reach twice the wrapped range, so twice is declared (a Player then limits it).
  explicit StereoToMonoSource(SourceRef source)
      : SourceFilter(
            source, static_cast<int32_t>(source->rate()), 1,
            source->peakRange() <= 0x3FFFFFFF ? source->peakRange() * 2 : source->peakRange()) {}
  void Read(int32_t* buffer, uint32_t frames) override {
    buf_.resize(static_cast<size_t>(frames) * 2);
    source_->Read(buf_.data(), frames);
    for (uint32_t i = 0; i < frames; ++i) buffer[i] = buf_[2 * i] + buf_[2 * i + 1];
  }

 private:
  std::vector<int32_t> buf_;
};

class MonoToStereoSource : public SourceFilter {
 public:
  explicit MonoToStereoSource(SourceRef source)
      : SourceFilter(source, static_cast<int32_t>(source->rate()), 2, source->peakRange()) {}
  void Read(int32_t* buffer, uint32_t frames) override {
    // Read into the second half of the buffer, then spread forwards without overlap.
    source_->Read(buffer + frames, frames);
    for (uint32_t i = 0; i < frames; ++i) buffer[2 * i] = buffer[2 * i + 1] = buffer[frames + i];
  }
};

// ---- peak limiter ----

class PeakLimiter : public SourceFilter {
 public:
  PeakLimiter(int32_t limit, SourceRef source)
      : SourceFilter(std::move(source)), limit_(std::min(limit, 0x3FFFFF)) {
    uint32_t l = source_->MoreComing() ? rate_ / 70 : rate_ / 35;
    block_ = std::clamp<uint32_t>(l, 16, 8192);
    for (auto& b : blocks_) b.resize(static_cast<size_t>(block_) * channels_);
    peakRange_ = std::min(peakRange_, limit_);
  }

  void Read(int32_t* buffer, uint32_t frames) override {
    if (!primed_) prime();
    const uint32_t c = channels_;
    while (frames > 0) {
      if (used_ == block_) advance();
      const uint32_t n = std::min(frames, block_ - used_);
      const int32_t* in = blocks_[cur_].data() + static_cast<size_t>(used_) * c;
      if (running_ < kUnity || step_ != 0) {
        for (uint32_t f = 0; f < n; ++f) {
          for (uint32_t ch = 0; ch < c; ++ch) {
            buffer[static_cast<size_t>(f) * c + ch] =
                applyGainQ24(in[static_cast<size_t>(f) * c + ch], running_);
          }
          running_ += step_;
        }
      } else {
        std::copy(in, in + static_cast<size_t>(n) * c, buffer);
      }
      buffer += static_cast<size_t>(n) * c;
      used_ += n;
      frames -= n;
    }
  }

  uint32_t Position() override {
    const uint32_t pos = source_->Position();
    return primed_ ? pos - 3 * block_ + used_ : pos;
  }
  uint32_t Length() override {
    const uint32_t len = source_->Length();
    if (!source_->MoreComing()) return len;  // the look-ahead reads zeros past the end
    return len - (primed_ ? 3 * block_ - used_ : 3 * block_);
  }
  void Seek(uint32_t frame) override {
    source_->Seek(frame);
    primed_ = false;
  }

 private:
  int32_t blockGain(const std::vector<int32_t>& b) const {
    int64_t peak = 0;
    for (int32_t x : b) peak = std::max<int64_t>(peak, x < 0 ? -static_cast<int64_t>(x) : x);
    if (peak <= limit_) return kUnity;
    const int64_t g = (static_cast<int64_t>(limit_) * 512) / ((peak + 64) >> 6) * 512;
    return static_cast<int32_t>(std::min<int64_t>(g, kUnity));
  }

  void readBlock(size_t slot) {
    source_->Read(blocks_[slot].data(), block_);
    gains_[slot] = blockGain(blocks_[slot]);
  }

  void prime() {
    for (size_t i = 0; i < 3; ++i) readBlock(i);
    cur_ = 0;
    prevGain_ = gains_[0];
    running_ = gains_[0];
    primed_ = true;
    startBlock();
  }

  // The current block is used up: the next two move up and a new one is read.
  void advance() {
    prevGain_ = gains_[cur_];
    const size_t freed = cur_;
    cur_ = (cur_ + 1) % 3;
    readBlock(freed);
    startBlock();
  }

  void startBlock() {
    const int64_t cur = gains_[cur_];
    const int64_t next = gains_[(cur_ + 1) % 3];
    const int64_t nextNext = gains_[(cur_ + 2) % 3];
    const int64_t target = std::min((prevGain_ + cur + next + nextNext) / 4, std::min(cur, next));
    const int64_t diff = target - running_;
    step_ = static_cast<int32_t>(diff / block_);
    running_ += static_cast<int32_t>(diff % block_);  // the running gain ends on the target
    used_ = 0;
  }

  int32_t limit_;
  uint32_t block_;
  std::vector<int32_t> blocks_[3];
  int32_t gains_[3] = {kUnity, kUnity, kUnity};
  size_t cur_ = 0;
  int64_t prevGain_ = kUnity;
  int32_t running_ = kUnity;
  int32_t step_ = 0;
  uint32_t used_ = 0;
  bool primed_ = false;
};

// ---- loop source ----

class LoopSource : public SourceFilter {
 public:
  LoopSource(uint32_t start, uint32_t end, SourceRef source)
      : SourceFilter(std::move(source)), start_(std::min(start, end)), end_(std::max(start, end)) {}

  void Read(int32_t* buffer, uint32_t frames) override {
    const uint32_t c = channels_;
    int64_t avail = static_cast<int64_t>(end_) - source_->Position();
    while (frames >= avail) {
      if (avail > 0) {
        source_->Read(buffer, static_cast<uint32_t>(avail));
        buffer += static_cast<size_t>(avail) * c;
        frames -= static_cast<uint32_t>(avail);
      }
      source_->Seek(start_);
      avail = std::max<int64_t>(end_ - start_, 256);
    }
    source_->Read(buffer, frames);
  }
  void Seek(uint32_t frame) override {
    if (frame >= end_) frame = end_ > start_ ? start_ + (frame - end_) % (end_ - start_) : start_;
    source_->Seek(frame);
  }
  uint32_t Length() override { return end_ + 8 * rate_; }

 private:
  uint32_t start_;
  uint32_t end_;
};

uint32_t msToFrames(uint32_t ms, uint32_t rate) {
  return static_cast<uint32_t>(static_cast<uint64_t>(ms) * rate / 1000);
}

}  // namespace

SinkRef MakeSinkAdapter(uint32_t channels, const SinkRef& sink) {
  if (channels == sink->channels()) return sink;
  if (channels == 2 && sink->channels() == 1) return SinkRef(new StereoToMonoSink(sink));
  if (channels == 1 && sink->channels() == 2) return SinkRef(new MonoToStereoSink(sink));
  return SinkRef();
}

SinkRef MakeResamplingSink(uint32_t inputRate, const SinkRef& sink) {
  if (inputRate == sink->rate() || inputRate == 0 || sink->rate() == 0) return sink;
  return SinkRef(new ResamplingSink(inputRate, sink));
}

SinkRef BuildCaptureChain(uint32_t rate, uint32_t channels, const SinkRef& sink) {
  SinkRef head = sink;
  if (channels < head->channels()) head = MakeSinkAdapter(channels, head);
  if (rate != head->rate()) head = MakeResamplingSink(rate, head);
  if (channels != head->channels()) head = MakeSinkAdapter(channels, head);
  return head;
}

SourceRef MakeSourceAdapter(uint32_t channels, const SourceRef& source) {
  if (source->isNull()) return source;
  if (channels == 1 && source->channels() == 2) return SourceRef(new StereoToMonoSource(source));
  if (channels == 2 && source->channels() == 1) return SourceRef(new MonoToStereoSource(source));
  return source;
}

SourceRef MakeResamplingSource(uint32_t rate, const SourceRef& source) {
  if (rate == source->rate() || rate == 0) return source;
  if (static_cast<uint64_t>(rate) * 4 < source->rate()) {
    SourceRef first(new ResamplingSource(rate * 2, source, true));
    return SourceRef(new ResamplingSource(rate, first, false));
  }
  return SourceRef(new ResamplingSource(rate, source, false));
}

SourceRef AdaptSource(uint32_t rate, uint32_t channels, const SourceRef& source) {
  if (source->isNull()) return source;
  SourceRef head = source;
  if (channels < head->channels()) head = MakeSourceAdapter(channels, head);
  if (rate != head->rate()) head = MakeResamplingSource(rate, head);
  if (channels != head->channels()) head = MakeSourceAdapter(channels, head);
  return head;
}

SourceRef MakePeakLimiter(int32_t limit, const SourceRef& source) {
  if (source->isNull()) return source;
  return SourceRef(new PeakLimiter(limit, source));
}

SourceRef MakeLoopSource(uint32_t startMs, uint32_t endMs, const SourceRef& source) {
  if (source->isNull()) return source;
  const uint32_t rate = source->rate();
  return SourceRef(new LoopSource(msToFrames(startMs, rate), msToFrames(endMs, rate), source));
}

}  // namespace quillet::audio
