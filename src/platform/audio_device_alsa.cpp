// SPDX-License-Identifier: Apache-2.0
// ALSA capture and playback devices and the ALSA device list. PCMs are opened
// non-blocking; threads sleep in poll() on the PCM's descriptors and the caller's stop fd.
#include <alsa/asoundlib.h>
#include <poll.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/audio_device_internal.h"

namespace quillet::platform::detail {
namespace {

// ALSA prints its own complaints to stderr by default; failures are reported through
// lastError() instead.
void silentAlsaErrors(const char*, int, const char*, int, const char*, ...) {}
void quietAlsa() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(silentAlsaErrors); });
}

std::string alsaError(const char* what, int err) {
  return std::string(what) + ": " + snd_strerror(err);
}

// Opens `pcm` for `stream` and sets 16-bit interleaved `rate`/`channels` with the period and
// buffer asked for; the format steps answer BadFormat, everything else Failed.
AudioOpen openPcm(const std::string& name, snd_pcm_stream_t stream, uint32_t rate,
                  uint32_t channels, uint32_t periodFrames, uint32_t periods, snd_pcm_t*& pcm,
                  snd_pcm_uframes_t& period, snd_pcm_uframes_t& buffer, std::string& error) {
  quietAlsa();
  pcm = nullptr;
  int err = snd_pcm_open(&pcm, name.c_str(), stream, SND_PCM_NONBLOCK);
  if (err < 0) {
    pcm = nullptr;
    error = alsaError(("cannot open ALSA PCM " + name).c_str(), err);
    return AudioOpen::Failed;
  }
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  AudioOpen result = AudioOpen::Ok;
  if ((err = snd_pcm_hw_params_any(pcm, hw)) < 0) {
    error = alsaError("no hardware parameters", err);
    result = AudioOpen::Failed;
  } else if ((err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
             (err = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE)) < 0 ||
             (err = snd_pcm_hw_params_set_channels(pcm, hw, channels)) < 0 ||
             (err = snd_pcm_hw_params_set_rate(pcm, hw, rate, 0)) < 0) {
    error = alsaError(
        ("format " + std::to_string(rate) + " Hz " + std::to_string(channels) + " ch refused")
            .c_str(),
        err);
    result = AudioOpen::BadFormat;
  } else {
    period = periodFrames;
    int dir = 0;
    snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, &dir);
    buffer = static_cast<snd_pcm_uframes_t>(periodFrames) * periods;
    snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer);
    if ((err = snd_pcm_hw_params(pcm, hw)) < 0) {
      error = alsaError("cannot set hardware parameters", err);
      result = AudioOpen::Failed;
    } else {
      snd_pcm_hw_params_get_period_size(hw, &period, &dir);
      snd_pcm_hw_params_get_buffer_size(hw, &buffer);
    }
  }
  if (result == AudioOpen::Ok) {
    snd_pcm_sw_params_t* sw;
    snd_pcm_sw_params_alloca(&sw);
    snd_pcm_sw_params_current(pcm, sw);
    // Wake once per block; playback starts as soon as anything is queued, capture on start().
    snd_pcm_sw_params_set_avail_min(pcm, sw, std::min<snd_pcm_uframes_t>(periodFrames, buffer));
    snd_pcm_sw_params_set_start_threshold(pcm, sw,
                                          stream == SND_PCM_STREAM_PLAYBACK ? 1 : buffer * 2);
    if ((err = snd_pcm_sw_params(pcm, sw)) < 0) {
      error = alsaError("cannot set software parameters", err);
      result = AudioOpen::Failed;
    }
  }
  if (result != AudioOpen::Ok) {
    snd_pcm_close(pcm);
    pcm = nullptr;
  }
  return result;
}

// Polls the PCM's descriptors together with stopFd (and wakeFd when >= 0) until the PCM is
// ready for `events` (POLLIN or POLLOUT) or in error. What a descriptor's wake-up means is
// the PCM's to say (snd_pcm_poll_descriptors_revents): a plugin's descriptor may wake for
// its own housekeeping and is only quietened there.
// Answers Stopped, Ready (PCM or wake fd), TimedOut or Failed.
AudioWait pollPcm(snd_pcm_t* pcm, short events, int stopFd, int wakeFd, int timeoutMs) {
  pollfd fds[18];
  int count = snd_pcm_poll_descriptors_count(pcm);
  if (count <= 0 || count > 16) return waitFds(stopFd, wakeFd, timeoutMs);
  fds[0] = {stopFd, POLLIN, 0};
  fds[1] = {wakeFd, POLLIN, 0};
  count = snd_pcm_poll_descriptors(pcm, fds + 2, static_cast<unsigned>(count));
  if (count <= 0) return AudioWait::Failed;
  const WaitDeadline deadline(timeoutMs);
  for (;;) {
    int wait = -1;
    if (!deadline.limit(wait)) return AudioWait::TimedOut;
    const int n = poll(fds, static_cast<nfds_t>(count + 2), wait);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return AudioWait::Failed;
    if (n == 0) return AudioWait::TimedOut;
    if (fds[0].revents != 0) return AudioWait::Stopped;
    if (fds[1].revents != 0) return AudioWait::Ready;
    unsigned short revents = 0;
    if (snd_pcm_poll_descriptors_revents(pcm, fds + 2, static_cast<unsigned>(count), &revents) < 0)
      return AudioWait::Failed;
    // An error state is for the caller's next read or write to meet and recover.
    if ((revents & (events | POLLERR | POLLHUP | POLLNVAL)) != 0) return AudioWait::Ready;
  }
}

class AlsaCapture : public CaptureDevice {
 public:
  explicit AlsaCapture(std::string name) : name_(std::move(name)) {}
  ~AlsaCapture() override { close(); }

  AudioOpen open(uint32_t rate, uint32_t channels, uint32_t framesPerBlock,
                 uint32_t blockCount) override {
    close();
    if (framesPerBlock == 0 || channels == 0) return AudioOpen::Failed;
    snd_pcm_uframes_t period = 0, buffer = 0;
    const AudioOpen r = openPcm(name_, SND_PCM_STREAM_CAPTURE, rate, channels, framesPerBlock,
                                std::max<uint32_t>(blockCount, 2), pcm_, period, buffer, error_);
    if (r != AudioOpen::Ok) return r;
    rate_ = rate;
    channels_ = channels;
    framesPerBlock_ = framesPerBlock;
    filled_ = 0;
    partial_.assign(static_cast<size_t>(framesPerBlock) * channels, 0);
    return AudioOpen::Ok;
  }

  bool start() override {
    if (pcm_ == nullptr) return false;
    const int err = snd_pcm_start(pcm_);
    if (err < 0) error_ = alsaError("cannot start capture", err);
    return err >= 0;
  }

  AudioWait readBlock(int16_t* out, int stopFd, int timeoutMs) override {
    if (pcm_ == nullptr) return AudioWait::Failed;
    // A device that always has data (ALSA's null PCM) must not keep a stopping thread busy.
    if (readableNow(stopFd)) return AudioWait::Stopped;
    const WaitDeadline deadline(timeoutMs);
    bool recovered = false;
    while (filled_ < framesPerBlock_) {
      const snd_pcm_sframes_t n =
          snd_pcm_readi(pcm_, partial_.data() + static_cast<size_t>(filled_) * channels_,
                        framesPerBlock_ - filled_);
      if (n > 0) {
        filled_ += static_cast<uint32_t>(n);
        recovered = false;
        continue;
      }
      if (n == -EAGAIN || n == 0) {
        int wait = -1;
        if (!deadline.limit(wait)) return AudioWait::TimedOut;
        const AudioWait w = pollPcm(pcm_, POLLIN, stopFd, -1, wait);
        if (w == AudioWait::Failed) error_ = "waiting for the capture device failed";
        if (w != AudioWait::Ready) return w;
        continue;
      }
      // Overrun or suspend: start again; the block being filled keeps what it has. A device
      // that fails again before delivering anything (its sound server has gone) has failed.
      if (recovered || snd_pcm_recover(pcm_, static_cast<int>(n), 1) < 0 ||
          snd_pcm_start(pcm_) < 0) {
        error_ = alsaError("capture failed", static_cast<int>(n));
        return AudioWait::Failed;
      }
      recovered = true;
    }
    std::memcpy(out, partial_.data(), partial_.size() * sizeof(int16_t));
    filled_ = 0;
    return AudioWait::Ready;
  }

  uint32_t stopAndDrain(int16_t* out) override {
    if (pcm_ == nullptr) return 0;
    // What the device already holds completes the block being filled, as far as it goes.
    const snd_pcm_sframes_t n =
        snd_pcm_readi(pcm_, partial_.data() + static_cast<size_t>(filled_) * channels_,
                      framesPerBlock_ - 1 - filled_);
    if (n > 0) filled_ += static_cast<uint32_t>(n);
    snd_pcm_drop(pcm_);
    const uint32_t frames = filled_;
    std::memcpy(out, partial_.data(), static_cast<size_t>(frames) * channels_ * sizeof(int16_t));
    filled_ = 0;
    return frames;
  }

  void close() override {
    if (pcm_ != nullptr) snd_pcm_close(pcm_);
    pcm_ = nullptr;
  }

 private:
  std::string name_;
  snd_pcm_t* pcm_ = nullptr;
  std::vector<int16_t> partial_;  // the block being filled
  uint32_t filled_ = 0;
};

class AlsaPlayback : public PlaybackDevice {
 public:
  explicit AlsaPlayback(std::string name) : name_(std::move(name)) {}
  ~AlsaPlayback() override { close(); }

  AudioOpen open(uint32_t rate, uint32_t channels, uint32_t framesPerBlock,
                 uint32_t maxBlocks) override {
    close();
    if (framesPerBlock == 0 || maxBlocks == 0 || channels == 0) return AudioOpen::Failed;
    std::lock_guard lock(mutex_);
    snd_pcm_uframes_t period = 0, buffer = 0;
    const AudioOpen r = openPcm(name_, SND_PCM_STREAM_PLAYBACK, rate, channels, framesPerBlock,
                                maxBlocks, pcm_, period, buffer, error_);
    if (r != AudioOpen::Ok) return r;
    rate_ = rate;
    channels_ = channels;
    framesPerBlock_ = framesPerBlock;
    bufferFrames_ = buffer;
    tailEndNs_ = 0;
    ring_.assign(static_cast<size_t>(framesPerBlock) * maxBlocks * channels, 0);
    ledger_.reset(maxBlocks);
    queued_ = sent_ = played_ = 0;
    failed_ = false;
    return AudioOpen::Ok;
  }

  bool write(const int16_t* samples, uint32_t frames) override {
    {
      std::lock_guard lock(mutex_);
      if (pcm_ == nullptr || frames > framesPerBlock_) return false;
      advance();
      if (failed_) return false;
      if (ledger_.full()) return false;
      copyToRing(ring_, channels_, queued_, samples, frames);
      queued_ += frames;
      ledger_.add(queued_);
      push();
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
      bool pollDevice = false;
      {
        std::lock_guard lock(mutex_);
        if (pcm_ == nullptr) return AudioWait::Failed;
        advance();
        if (failed_) return AudioWait::Failed;
        if (ledger_.completed() > seen) return AudioWait::Ready;
        wake_.clear();
        if (!ledger_.empty()) {
          if (sent_ < queued_) {
            pollDevice = true;  // room in the device buffer is what we wait for
          } else {
            wait = msUntilNextEnd();  // all handed to ALSA
          }
        }
      }
      if (!deadline.limit(wait)) return AudioWait::TimedOut;
      const AudioWait w = pollDevice ? pollPcm(pcm_, POLLOUT, stopFd, wake_.fd(), wait)
                                     : waitFds(stopFd, wake_.fd(), wait);
      if (w == AudioWait::Stopped || w == AudioWait::Failed) return w;
    }
  }

  uint64_t queuedFrames() override {
    std::lock_guard lock(mutex_);
    if (pcm_ == nullptr) return 0;
    advance();
    return queued_ - played_;
  }

  void reset() override {
    {
      std::lock_guard lock(mutex_);
      if (pcm_ == nullptr) return;
      snd_pcm_drop(pcm_);
      snd_pcm_prepare(pcm_);
      ledger_.dropAll();
      queued_ = sent_ = played_ = queued_;
    }
    wake_.signal();
  }

  void close() override {
    std::lock_guard lock(mutex_);
    if (pcm_ != nullptr) {
      snd_pcm_drop(pcm_);
      snd_pcm_close(pcm_);
    }
    pcm_ = nullptr;
  }

 private:
  // Hands queued frames to ALSA as far as its buffer takes them. Lock held.
  void push() {
    if (failed_) return;
    bool recovered = false;
    const size_t ringFrames = ring_.size() / channels_;
    while (sent_ < queued_) {
      const size_t index = sent_ % ringFrames;
      const auto n =
          static_cast<snd_pcm_uframes_t>(std::min<uint64_t>(queued_ - sent_, ringFrames - index));
      const snd_pcm_sframes_t done = snd_pcm_writei(pcm_, &ring_[index * channels_], n);
      if (done > 0) {
        sent_ += static_cast<uint64_t>(done);
        continue;
      }
      if (done == -EAGAIN || done == 0) return;
      // Underrun: everything handed over has sounded; prepare and go on. A device that
      // fails again right after (its sound server has gone) has failed.
      played_ = sent_;
      if (recovered || snd_pcm_recover(pcm_, static_cast<int>(done), 1) < 0) {
        fail(alsaError("playback failed", static_cast<int>(done)));
        return;
      }
      recovered = true;
    }
  }

  // The device is given up: everything queued counts as retired. Lock held.
  void fail(const std::string& why) {
    error_ = why;
    failed_ = true;
    played_ = sent_ = queued_;
    ledger_.dropAll();
  }

  // Updates the played count and retires finished blocks. Lock held.
  void advance() {
    push();
    const snd_pcm_state_t state = snd_pcm_state(pcm_);
    if (state == SND_PCM_STATE_XRUN) {
      played_ = sent_;
      snd_pcm_prepare(pcm_);
      push();
    } else if (state == SND_PCM_STATE_RUNNING || state == SND_PCM_STATE_DRAINING) {
      followRunningDevice();
    } else if (state != SND_PCM_STATE_PREPARED) {
      played_ = sent_;  // a device that stopped playing has nothing left to sound
    }
    ledger_.retire(played_);
  }

  // A running device: what it still holds is its delay. A sound server keeps its PCM running
  // after the buffer has drained and goes on reporting a delay of its own graph that never
  // settles at 0, so once the device has taken every frame written, the rest is timed on the
  // clock: it has sounded when the delay reported at that moment has passed. Lock held.
  void followRunningDevice() {
    snd_pcm_sframes_t avail = 0;
    snd_pcm_sframes_t delay = 0;
    if (snd_pcm_avail_delay(pcm_, &avail, &delay) < 0) avail = delay = 0;
    const uint64_t pending = static_cast<uint64_t>(std::max<snd_pcm_sframes_t>(delay, 0));
    played_ = std::max(played_, sent_ > pending ? sent_ - pending : 0);
    const bool allTaken =
        sent_ == queued_ && avail >= static_cast<snd_pcm_sframes_t>(bufferFrames_);
    if (!allTaken || played_ >= sent_) {
      tailEndNs_ = 0;
      return;
    }
    const int64_t now = monotonicNs();
    if (tailEndNs_ == 0) {
      const uint64_t tail = std::min(pending, sent_ - played_);
      tailEndNs_ = now + static_cast<int64_t>(tail * 1000000000 / rate_) + 1;
    } else if (now >= tailEndNs_) {
      played_ = sent_;
      tailEndNs_ = 0;
    }
  }

  // How long to sleep (ms) until the next queued block has sounded, with everything handed
  // to the device. Lock held.
  int msUntilNextEnd() const {
    if (tailEndNs_ != 0) {
      const int64_t left = tailEndNs_ - monotonicNs();
      return left <= 0 ? 0 : static_cast<int>(left / 1000000) + 1;
    }
    const uint64_t ahead = ledger_.nextEnd() - played_;
    return static_cast<int>((ahead * 1000 + rate_ - 1) / rate_) + 1;
  }

  std::string name_;
  std::mutex mutex_;
  snd_pcm_t* pcm_ = nullptr;
  std::vector<int16_t> ring_;
  BlockLedger ledger_;
  WakeFd wake_;
  uint32_t framesPerBlock_ = 0;
  snd_pcm_uframes_t bufferFrames_ = 0;
  int64_t tailEndNs_ = 0;  // when the frames left after the device took the last one sound
  bool failed_ = false;    // the device failed for good
  uint64_t queued_ = 0;    // frames queued by the caller
  uint64_t sent_ = 0;      // frames handed to ALSA
  uint64_t played_ = 0;    // frames sounded
};

}  // namespace

bool alsaPcmDefined(const std::string& name) {
  quietAlsa();
  if (name.empty() || snd_config_update() < 0 || snd_config == nullptr) return false;
  const std::string base = name.substr(0, name.find(':'));
  snd_config_t* pcm = nullptr;
  return snd_config_search(snd_config, ("pcm." + base).c_str(), &pcm) >= 0;
}

std::unique_ptr<CaptureDevice> makeAlsaCapture(const std::string& pcm) {
  return std::make_unique<AlsaCapture>(pcm);
}
std::unique_ptr<PlaybackDevice> makeAlsaPlayback(const std::string& pcm) {
  return std::make_unique<AlsaPlayback>(pcm);
}

}  // namespace quillet::platform::detail

namespace quillet::platform {

std::vector<AudioDeviceEntry> listAlsaDevices(bool capture) {
  detail::quietAlsa();
  std::vector<AudioDeviceEntry> list;
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) < 0 || hints == nullptr) return list;
  for (void** h = hints; *h != nullptr; ++h) {
    char* name = snd_device_name_get_hint(*h, "NAME");
    char* desc = snd_device_name_get_hint(*h, "DESC");
    char* ioid = snd_device_name_get_hint(*h, "IOID");
    const bool fits = ioid == nullptr || std::strcmp(ioid, capture ? "Input" : "Output") == 0;
    if (name != nullptr && fits && std::strcmp(name, "default") != 0) {
      std::string shown = desc != nullptr ? desc : "";
      // Descriptions come in two lines ("card, device\nuse"): show them on one.
      std::replace(shown.begin(), shown.end(), '\n', ' ');
      if (shown.empty()) shown = kUnknownDevice;
      list.push_back({shown, name});
    }
    free(name);
    free(desc);
    free(ioid);
  }
  snd_device_name_free_hint(hints);
  return list;
}

}  // namespace quillet::platform
