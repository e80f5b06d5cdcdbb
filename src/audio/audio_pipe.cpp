// SPDX-License-Identifier: Apache-2.0
// AudioPipe: one writer thread and one reader thread share a byte ring; each moves only its
// own offset, and two manual-reset events carry the wake-ups.
#include "audio/audio_pipe.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "platform/event.h"

namespace quillet::audio {

class AudioPipe {
 public:
  AudioPipe(uint32_t rate, uint32_t channels, int32_t peakRange, uint32_t ringBytes)
      : rate_(rate),
        channels_(channels == 0 ? 1 : channels),
        peakRange_(peakRange),
        frameBytes_(channels_ * 4),
        capacity_(ringBytes + 1),
        ring_(capacity_) {}

  uint32_t usedBytes() const {
    const uint32_t w = write_.load(std::memory_order_acquire);
    const uint32_t r = read_.load(std::memory_order_acquire);
    return w >= r ? w - r : w + capacity_ - r;
  }

  uint32_t rate_;
  uint32_t channels_;
  int32_t peakRange_;
  uint32_t frameBytes_;
  uint32_t capacity_;
  std::vector<uint8_t> ring_;
  std::atomic<uint32_t> read_{0};
  std::atomic<uint32_t> write_{0};
  std::atomic<bool> writerAttached_{false};
  std::atomic<bool> readerAttached_{false};
  platform::Event data_{platform::Event::Reset::Manual};
  platform::Event space_{platform::Event::Reset::Manual};
};

namespace {

constexpr int32_t kWriterWaitMs = 200;
constexpr int32_t kReaderWaitMs = 1000;

class PipeWriter : public AudioSink {
 public:
  explicit PipeWriter(PipeRef pipe)
      : AudioSink(pipe->rate_, pipe->channels_), pipe_(std::move(pipe)) {
    pipe_->writerAttached_ = true;
  }
  ~PipeWriter() override {
    pipe_->writerAttached_ = false;
    pipe_->data_.set();  // a waiting reader wakes and sees the end
  }

  void Write(const int32_t* samples, uint32_t frames) override {
    AudioPipe& p = *pipe_;
    position_ += frames;
    const auto* src = reinterpret_cast<const uint8_t*>(samples);
    uint32_t remaining = frames * p.frameBytes_;
    while (remaining > 0) {
      p.space_.reset();
      const uint32_t w = p.write_.load(std::memory_order_relaxed);
      const uint32_t r = p.read_.load(std::memory_order_acquire);
      uint32_t free = r >= w + 1 ? r - w - 1 : r + p.capacity_ - w - 1;
      if (free == 0) {
        if (!p.readerAttached_) return;  // nobody will make room: the rest is dropped
        p.space_.wait(kWriterWaitMs);
        continue;
      }
      uint32_t n = std::min(free, remaining);
      const uint32_t first = std::min(n, p.capacity_ - w);
      std::memcpy(p.ring_.data() + w, src, first);
      std::memcpy(p.ring_.data(), src + first, n - first);
      p.write_.store((w + n) % p.capacity_, std::memory_order_release);
      p.data_.set();
      src += n;
      remaining -= n;
    }
  }

 private:
  PipeRef pipe_;
};

class PipeReader : public AudioSource {
 public:
  explicit PipeReader(PipeRef pipe)
      : AudioSource(static_cast<int32_t>(pipe->rate_), pipe->channels_, pipe->peakRange_),
        pipe_(std::move(pipe)) {
    pipe_->readerAttached_ = true;
  }
  ~PipeReader() override {
    pipe_->readerAttached_ = false;
    pipe_->space_.set();  // a waiting writer wakes and drops instead of waiting
  }

  void Read(int32_t* buffer, uint32_t frames) override {
    position_.fetch_add(frames, std::memory_order_relaxed);
    AudioPipe& p = *pipe_;
    auto* dst = reinterpret_cast<uint8_t*>(buffer);
    uint32_t remaining = frames * p.frameBytes_;
    while (remaining > 0) {
      p.data_.reset();
      uint32_t avail = p.usedBytes();
      if (avail == 0) {
        if (p.writerAttached_) {
          p.data_.wait(kReaderWaitMs);
          continue;
        }
        // The writer is gone; a last block may have landed between the test and the flag.
        p.data_.reset();
        avail = p.usedBytes();
        if (avail == 0) {
          std::memset(dst, 0, remaining);
          return;
        }
      }
      const uint32_t r = p.read_.load(std::memory_order_relaxed);
      const uint32_t n = std::min(avail, remaining);
      const uint32_t first = std::min(n, p.capacity_ - r);
      std::memcpy(dst, p.ring_.data() + r, first);
      std::memcpy(dst + first, p.ring_.data(), n - first);
      p.read_.store((r + n) % p.capacity_, std::memory_order_release);
      p.space_.set();
      dst += n;
      remaining -= n;
    }
  }

  // The frames handed out so far: a player reading the pipe reports it as its play position
  // and the echo suppressor's far-end tap as the far-end position, so the two line up.
  uint32_t Position() override { return position_.load(std::memory_order_relaxed); }
  uint32_t Length() override {
    pipe_->data_.reset();
    return Position() + pipe_->usedBytes() / pipe_->frameBytes_;
  }
  bool MoreComing() override { return pipe_->writerAttached_; }
  void Wait(uint32_t ms) override { pipe_->data_.wait(static_cast<int32_t>(ms)); }

 private:
  PipeRef pipe_;
  std::atomic<uint32_t> position_{0};  // read on other threads (reports, the echo tap)
};

}  // namespace

PipeRef CreatePipe(uint32_t rate, uint32_t channels, int32_t peakRange, uint32_t ringBytes) {
  return std::make_shared<AudioPipe>(rate, channels, peakRange, ringBytes);
}

SinkRef OpenWriter(const PipeRef& pipe) {
  return SinkRef(new PipeWriter(pipe));
}

SourceRef OpenReader(const PipeRef& pipe) {
  return SourceRef(new PipeReader(pipe));
}

uint32_t PipeFrames(const PipeRef& pipe) {
  return pipe->usedBytes() / pipe->frameBytes_;
}

}  // namespace quillet::audio
