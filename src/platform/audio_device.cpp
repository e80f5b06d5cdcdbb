// Device names, the device factory and the helpers shared by the device back-ends.
#include "platform/audio_device.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/audio_device_internal.h"

namespace quillet::platform {
namespace detail {

int64_t monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

AudioWait waitFds(int stopFd, int wakeFd, int timeoutMs) {
  pollfd fds[2] = {{stopFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  const int64_t deadline = monotonicNs() + static_cast<int64_t>(timeoutMs) * 1000000;
  for (;;) {
    int wait = timeoutMs;
    if (timeoutMs >= 0) {
      const int64_t left = deadline - monotonicNs();
      wait = left <= 0 ? 0 : static_cast<int>((left + 999999) / 1000000);
    }
    const int n = poll(fds, wakeFd >= 0 ? 2 : 1, wait);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return AudioWait::Failed;
    if (n == 0) return AudioWait::TimedOut;
    if (fds[0].revents != 0) return AudioWait::Stopped;
    return AudioWait::Ready;
  }
}

bool readableNow(int fd) {
  pollfd p{fd, POLLIN, 0};
  return fd >= 0 && poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

WaitDeadline::WaitDeadline(int timeoutMs)
    : end_(monotonicNs() + static_cast<int64_t>(timeoutMs) * 1000000), limited_(timeoutMs >= 0) {}

bool WaitDeadline::limit(int& wait) const {
  if (!limited_) return true;
  const int64_t left = end_ - monotonicNs();
  if (left <= 0) return false;
  const int leftMs = static_cast<int>((left + 999999) / 1000000);
  wait = wait < 0 ? leftMs : std::min(wait, leftMs);
  return true;
}

void copyToRing(std::vector<int16_t>& ring, uint32_t channels, uint64_t at, const int16_t* samples,
                uint32_t frames) {
  const size_t ringFrames = ring.size() / channels;
  for (uint32_t f = 0; f < frames; ++f) {
    std::memcpy(&ring[((at + f) % ringFrames) * channels],
                samples + static_cast<size_t>(f) * channels, channels * sizeof(int16_t));
  }
}

WakeFd::WakeFd() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
WakeFd::~WakeFd() {
  if (fd_ >= 0) ::close(fd_);
}
void WakeFd::signal() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
}
void WakeFd::clear() {
  uint64_t value;
  [[maybe_unused]] ssize_t n = ::read(fd_, &value, sizeof value);
}

void BlockLedger::reset(uint32_t capacity) {
  ends_.assign(std::max<uint32_t>(capacity, 1), 0);
  head_ = count_ = 0;
  completed_ = 0;
}

void BlockLedger::add(uint64_t end) {
  ends_[(head_ + count_) % ends_.size()] = end;
  ++count_;
}

void BlockLedger::retire(uint64_t played) {
  while (count_ > 0 && ends_[head_] <= played) {
    head_ = (head_ + 1) % ends_.size();
    --count_;
    ++completed_;
  }
}

void BlockLedger::dropAll() {
  completed_ += count_;
  head_ = count_ = 0;
}

void mixDown(const int16_t* in, uint32_t fileChannels, int16_t* out, uint32_t channels,
             size_t frames) {
  for (size_t f = 0; f < frames; ++f) {
    const int16_t* src = in + f * fileChannels;
    for (uint32_t c = 0; c < channels; ++c) {
      int32_t sum = 0;
      int32_t n = 0;
      for (uint32_t i = c; i < fileChannels; i += channels, ++n) sum += src[i];
      out[f * channels + c] = static_cast<int16_t>(n > 0 ? sum / n : 0);
    }
  }
}

}  // namespace detail

AudioDeviceSpec resolveAudioDevice(const std::string& name, bool capture) {
  AudioDeviceSpec device;
  if (name.rfind("file:", 0) == 0) {
    device.kind = AudioDeviceSpec::Kind::File;
    device.target = name.substr(5);
    return device;
  }
  if (name == "null") {
    device.kind = AudioDeviceSpec::Kind::Null;
    return device;
  }
  device.target = "default";
  if (name.empty() || name == kDefaultSoundIn || name == kDefaultSoundOut) return device;
  const auto devices = listAlsaDevices(capture);
  for (const auto& d : devices) {
    if (d.name == name) {
      device.target = d.pcm;
      return device;
    }
  }
  // Not a shown name: an ALSA PCM name of the configuration (hw:0,0, a PCM of the user's own)
  // is taken as it is; anything else (a device that has gone) means the default device.
  if (detail::alsaPcmDefined(name)) device.target = name;
  return device;
}

std::vector<std::string> audioDeviceNames(bool capture) {
  std::vector<std::string> names{capture ? kDefaultSoundIn : kDefaultSoundOut};
  for (auto& d : listAlsaDevices(capture)) names.push_back(d.name);
  return names;
}

std::unique_ptr<CaptureDevice> makeCaptureDevice(const std::string& name) {
  const AudioDeviceSpec device = resolveAudioDevice(name, true);
  switch (device.kind) {
    case AudioDeviceSpec::Kind::File:
      return detail::makeFileCapture(device.target);
    case AudioDeviceSpec::Kind::Null:
      return detail::makeNullCapture();
    case AudioDeviceSpec::Kind::Alsa:
      break;
  }
  return detail::makeAlsaCapture(device.target);
}

std::unique_ptr<PlaybackDevice> makePlaybackDevice(const std::string& name) {
  const AudioDeviceSpec device = resolveAudioDevice(name, false);
  switch (device.kind) {
    case AudioDeviceSpec::Kind::File:
      return detail::makeFilePlayback(device.target);
    case AudioDeviceSpec::Kind::Null:
      return detail::makeNullPlayback();
    case AudioDeviceSpec::Kind::Alsa:
      break;
  }
  return detail::makeAlsaPlayback(device.target);
}

}  // namespace quillet::platform
