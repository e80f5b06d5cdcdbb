// SPDX-License-Identifier: Apache-2.0
// Test helpers of the device-side audio tests: memory and live sources, a collecting sink,
// WAV files in a temporary folder and a loop pump that waits for a condition.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_stream.h"
#include "audio/test_streams.h"
#include "platform/audio_device_wav.h"
#include "platform/message_loop.h"
#include "platform/test_util.h"

namespace quillet::audio::testing {

// A finished source over fixed samples (internal scale).
using MemorySource = teststreams::ArraySource;

// A source fed by the test while it is being read; MoreComing until finish().
class LiveSource : public teststreams::ArraySource {
 public:
  LiveSource(uint32_t rate, uint32_t channels) : ArraySource(rate, channels, {}) {}
  void push(const std::vector<int32_t>& samples) {
    std::lock_guard lock(mutex_);
    data.insert(data.end(), samples.begin(), samples.end());
  }
  void finish() { more_ = false; }
  void Read(int32_t* buffer, uint32_t frames) override {
    std::lock_guard lock(mutex_);
    ArraySource::Read(buffer, frames);
  }
  uint32_t Position() override {
    std::lock_guard lock(mutex_);
    return pos;
  }
  uint32_t Length() override {
    std::lock_guard lock(mutex_);
    return ArraySource::Length();
  }
  void Seek(uint32_t frame) override {
    std::lock_guard lock(mutex_);
    pos = frame;
  }
  bool MoreComing() override { return more_.load(); }
  void Wait(uint32_t ms) override {
    waits_++;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(ms, 20)));
  }
  int waits() const { return waits_.load(); }

 private:
  std::mutex mutex_;
  std::atomic<bool> more_{true};
  std::atomic<int> waits_{0};
};

// A sink that keeps what reaches it; Seek moves the position and is recorded.
class CollectSink : public AudioSink {
 public:
  CollectSink(uint32_t rate, uint32_t channels) : AudioSink(rate, channels) {}
  void Write(const int32_t* samples, uint32_t frames) override {
    std::lock_guard lock(mutex_);
    data_.insert(data_.end(), samples, samples + static_cast<size_t>(frames) * channels_);
    position_ += frames;
  }
  void Seek(uint32_t position) override {
    std::lock_guard lock(mutex_);
    seeks_.push_back(position);
    position_ = position;
  }
  std::vector<int32_t> data() {
    std::lock_guard lock(mutex_);
    return data_;
  }
  std::vector<uint32_t> seeks() {
    std::lock_guard lock(mutex_);
    return seeks_;
  }
  size_t frames() {
    std::lock_guard lock(mutex_);
    return data_.size() / channels_;
  }

 private:
  std::mutex mutex_;
  std::vector<int32_t> data_;
  std::vector<uint32_t> seeks_;
};

using platform::testing::TempDir;

// A 16-bit sine of `amplitude` at `hz` (all channels alike).
inline std::vector<int16_t> sine(uint32_t rate, uint32_t channels, uint32_t frames, double hz,
                                 double amplitude) {
  std::vector<int16_t> s(static_cast<size_t>(frames) * channels);
  for (uint32_t n = 0; n < frames; ++n)
    for (uint32_t c = 0; c < channels; ++c)
      s[n * channels + c] =
          static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * n / rate)));
  return s;
}

inline void writeWav(const std::string& path, uint32_t rate, uint32_t channels,
                     const std::vector<int16_t>& samples) {
  platform::WavFileWriter w;
  std::string error;
  w.create(path, rate, static_cast<uint16_t>(channels), error);
  w.write(samples.data(), samples.size() / channels);
}

inline std::vector<int16_t> readWav(const std::string& path, platform::WavInfo* info = nullptr) {
  platform::WavFileReader r;
  std::string error;
  if (!r.open(path, error)) return {};
  std::vector<int16_t> all(static_cast<size_t>(r.info().dataBytes / 2));
  const size_t frames = r.read(all.data(), all.size() / r.info().channels);
  all.resize(frames * r.info().channels);
  if (info != nullptr) *info = r.info();
  return all;
}

// Runs the loop's pending work until pred holds or timeoutMs passes.
inline bool pumpUntil(platform::PlainMessageLoop& loop, const std::function<bool()>& pred,
                      int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    loop.runPending();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

inline void pumpFor(platform::PlainMessageLoop& loop, int ms) {
  pumpUntil(
      loop, [] { return false; }, ms);
}

inline int countEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}
inline int openFds() {
  return countEntries("/proc/self/fd");
}
inline int threadCount() {
  return countEntries("/proc/self/task");
}

}  // namespace quillet::audio::testing
