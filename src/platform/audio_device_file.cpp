// SPDX-License-Identifier: Apache-2.0
// The "file:PATH" and "null" devices: a clock paces them like a sound card, so a capture
// block is ready only when its last frame would have been recorded, and a queued playback
// block retires only when it would have finished sounding.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/audio_device_internal.h"
#include "platform/audio_device_wav.h"

namespace quillet::platform::detail {
namespace {

constexpr uint32_t kMaxRate = 768000;
constexpr uint32_t kMaxChannels = 256;

// Milliseconds (rounded up) until `frames` frames have passed at `rate` after `sinceNs`.
int msUntil(int64_t sinceNs, uint64_t frames, uint32_t rate) {
  const int64_t due = sinceNs + static_cast<int64_t>(frames * 1000000000ull / rate);
  const int64_t left = due - monotonicNs();
  return left <= 0 ? 0 : static_cast<int>((left + 999999) / 1000000);
}

class PacedCapture : public CaptureDevice {
 public:
  explicit PacedCapture(std::string path) : path_(std::move(path)) {}
  ~PacedCapture() override { close(); }

  AudioOpen open(uint32_t rate, uint32_t channels, uint32_t framesPerBlock,
                 uint32_t /*blockCount*/) override {
    close();
    if (framesPerBlock == 0) return AudioOpen::Failed;
    if (!path_.empty()) {
      if (!file_.open(path_, error_)) return AudioOpen::Failed;
      // Like a sound card: only the file's own rate, and its channels or fewer.
      if (rate != file_.info().rate || channels < 1 || channels > file_.info().channels) {
        error_ = "format " + std::to_string(rate) + " Hz " + std::to_string(channels) +
                 " ch refused (file has " + std::to_string(file_.info().rate) + " Hz " +
                 std::to_string(file_.info().channels) + " ch)";
        file_.close();
        return AudioOpen::BadFormat;
      }
      fileBlock_.assign(static_cast<size_t>(framesPerBlock) * file_.info().channels, 0);
    } else if (rate < 1 || rate > kMaxRate || channels < 1 || channels > kMaxChannels) {
      error_ = "format refused";
      return AudioOpen::BadFormat;
    }
    rate_ = rate;
    channels_ = channels;
    framesPerBlock_ = framesPerBlock;
    open_ = true;
    return AudioOpen::Ok;
  }

  bool start() override {
    if (!open_) return false;
    startNs_ = monotonicNs();
    taken_ = 0;
    started_ = true;
    return true;
  }

  AudioWait readBlock(int16_t* out, int stopFd, int timeoutMs) override {
    if (!started_) return AudioWait::Failed;
    if (readableNow(stopFd)) return AudioWait::Stopped;
    const int wait = msUntil(startNs_, taken_ + framesPerBlock_, rate_);
    if (wait > 0) {
      const bool limited = timeoutMs >= 0 && timeoutMs < wait;
      const AudioWait w = waitFds(stopFd, -1, limited ? timeoutMs : wait);
      if (w == AudioWait::Stopped || w == AudioWait::Failed) return w;
      if (limited) return AudioWait::TimedOut;
    }
    fill(out, framesPerBlock_);
    taken_ += framesPerBlock_;
    return AudioWait::Ready;
  }

  uint32_t stopAndDrain(int16_t* out) override {
    if (!started_) return 0;
    started_ = false;
    const uint64_t elapsed =
        static_cast<uint64_t>(monotonicNs() - startNs_) * rate_ / 1000000000ull;
    if (elapsed <= taken_) return 0;
    const auto frames =
        static_cast<uint32_t>(std::min<uint64_t>(elapsed - taken_, framesPerBlock_ - 1));
    fill(out, frames);
    taken_ += frames;
    return frames;
  }

  void close() override {
    file_.close();
    open_ = started_ = false;
  }

 private:
  // Frames from the file (mixed down as needed), silence after its end.
  void fill(int16_t* out, uint32_t frames) {
    size_t got = 0;
    if (!path_.empty()) {
      const uint32_t fc = file_.info().channels;
      got = file_.read(fileBlock_.data(), frames);
      if (fc == channels_)
        std::memcpy(out, fileBlock_.data(), got * fc * sizeof(int16_t));
      else
        mixDown(fileBlock_.data(), fc, out, channels_, got);
    }
    std::fill(out + got * channels_, out + static_cast<size_t>(frames) * channels_, int16_t{0});
  }

  std::string path_;  // empty: the null device
  WavFileReader file_;
  std::vector<int16_t> fileBlock_;
  bool open_ = false;
  bool started_ = false;
  int64_t startNs_ = 0;
  uint64_t taken_ = 0;  // frames handed out since start
};

class PacedPlayback : public PlaybackDevice {
 public:
  explicit PacedPlayback(std::string path) : path_(std::move(path)) {}
  ~PacedPlayback() override { close(); }

  AudioOpen open(uint32_t rate, uint32_t channels, uint32_t framesPerBlock,
                 uint32_t maxBlocks) override {
    close();
    if (rate < 1 || rate > kMaxRate || channels < 1 || channels > kMaxChannels) {
      error_ = "format refused";
      return AudioOpen::BadFormat;
    }
    if (framesPerBlock == 0 || maxBlocks == 0) return AudioOpen::Failed;
    std::lock_guard lock(mutex_);
    if (!path_.empty()) {
      if (!file_.create(path_, rate, static_cast<uint16_t>(channels), error_))
        return AudioOpen::Failed;
      ring_.assign(static_cast<size_t>(framesPerBlock) * maxBlocks * channels, 0);
    }
    rate_ = rate;
    channels_ = channels;
    framesPerBlock_ = framesPerBlock;
    ledger_.reset(maxBlocks);
    queued_ = played_ = 0;
    open_ = true;
    return AudioOpen::Ok;
  }

  bool write(const int16_t* samples, uint32_t frames) override {
    {
      std::lock_guard lock(mutex_);
      if (!open_ || frames > framesPerBlock_) return false;
      advance();
      if (ledger_.full()) return false;
      if (played_ == queued_) {  // idle: the clock starts with this block
        baseNs_ = monotonicNs();
        basePlayed_ = played_;
      }
      if (!ring_.empty()) copyToRing(ring_, channels_, queued_, samples, frames);
      queued_ += frames;
      ledger_.add(queued_);
    }
    wake_.signal();
    return true;
  }

  uint64_t completedBlocks() override {
    std::lock_guard lock(mutex_);
    advance();
    return ledger_.completed();
  }

  AudioWait waitCompletion(uint64_t seen, int stopFd, int timeoutMs) override {
    const WaitDeadline deadline(timeoutMs);
    for (;;) {
      int wait = -1;
      {
        std::lock_guard lock(mutex_);
        if (!open_) return AudioWait::Failed;
        advance();
        if (ledger_.completed() > seen) return AudioWait::Ready;
        if (!ledger_.empty()) wait = msUntil(baseNs_, ledger_.nextEnd() - basePlayed_, rate_);
        wake_.clear();
      }
      if (!deadline.limit(wait)) return AudioWait::TimedOut;
      const AudioWait w = waitFds(stopFd, wake_.fd(), wait);
      if (w == AudioWait::Stopped || w == AudioWait::Failed) return w;
    }
  }

  uint64_t queuedFrames() override {
    std::lock_guard lock(mutex_);
    if (!open_) return 0;
    advance();
    return queued_ - played_;
  }

  void reset() override {
    {
      std::lock_guard lock(mutex_);
      advance();
      ledger_.dropAll();
      queued_ = played_;
    }
    wake_.signal();
  }

  void close() override {
    std::lock_guard lock(mutex_);
    if (open_) advance();
    file_.close();
    open_ = false;
  }

 private:
  // Moves the played count on by the clock, writes what sounded to the file and retires
  // finished blocks. Called with the lock held.
  void advance() {
    if (played_ < queued_) {
      const uint64_t byClock =
          basePlayed_ + static_cast<uint64_t>(monotonicNs() - baseNs_) * rate_ / 1000000000ull;
      const uint64_t now = std::min(byClock, queued_);
      if (file_.isOpen() && now > played_) {
        const size_t ringFrames = ring_.size() / channels_;
        uint64_t at = played_;
        while (at < now) {
          const size_t index = at % ringFrames;
          const size_t n = static_cast<size_t>(std::min<uint64_t>(now - at, ringFrames - index));
          file_.write(&ring_[index * channels_], n);
          at += n;
        }
      }
      played_ = now;
    }
    ledger_.retire(played_);
  }

  std::string path_;  // empty: the null device
  std::mutex mutex_;
  WavFileWriter file_;
  std::vector<int16_t> ring_;  // what is queued, by frame offset modulo its size
  BlockLedger ledger_;
  WakeFd wake_;
  bool open_ = false;
  uint32_t framesPerBlock_ = 0;
  uint64_t queued_ = 0;  // frames queued since open
  uint64_t played_ = 0;  // frames sounded since open
  int64_t baseNs_ = 0;   // clock start of the current run of playing
  uint64_t basePlayed_ = 0;
};

}  // namespace

std::unique_ptr<CaptureDevice> makeFileCapture(const std::string& path) {
  // An empty path would turn into the null device; keep it a file that cannot be opened.
  return std::make_unique<PacedCapture>(path.empty() ? std::string("/nonexistent/") : path);
}
std::unique_ptr<PlaybackDevice> makeFilePlayback(const std::string& path) {
  return std::make_unique<PacedPlayback>(path.empty() ? std::string("/nonexistent/") : path);
}
std::unique_ptr<CaptureDevice> makeNullCapture() {
  return std::make_unique<PacedCapture>("");
}
std::unique_ptr<PlaybackDevice> makeNullPlayback() {
  return std::make_unique<PacedPlayback>("");
}

}  // namespace quillet::platform::detail
