// SPDX-License-Identifier: Apache-2.0
// Device names, the device factory and the helpers shared by the device back-ends.
#include "platform/audio_device.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
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

void FrameRing::reset(uint32_t channels, uint32_t capacityFrames) {
  channels_ = std::max<uint32_t>(channels, 1);
  capacity_ = capacityFrames;
  ring_.assign(static_cast<size_t>(capacityFrames) * channels_, 0);
  written_ = read_ = 0;
}

uint32_t FrameRing::write(const int16_t* samples, uint32_t frames) {
  frames = std::min(frames, space());
  if (frames > 0) copyToRing(ring_, channels_, written_, samples, frames);
  written_ += frames;
  return frames;
}

uint32_t FrameRing::read(int16_t* out, uint32_t frames) {
  frames = std::min(frames, size());
  for (uint32_t done = 0; done < frames;) {
    const size_t at = (read_ + done) % capacity_;
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(frames - done, capacity_ - at));
    std::memcpy(out + static_cast<size_t>(done) * channels_, &ring_[at * channels_],
                static_cast<size_t>(n) * channels_ * sizeof(int16_t));
    done += n;
  }
  read_ += frames;
  return frames;
}

namespace {
std::atomic<void (*)(const std::string&)> gNotice{nullptr};
}  // namespace

void audioNotice(const std::string& line) {
  if (auto* receiver = gNotice.load()) receiver(line);
}

#ifndef QUILLET_HAVE_PIPEWIRE
// Built without libpipewire: pipeWireEnabled() is false and none of these is reached.
bool pipeWireAnswers() {
  return false;
}
std::unique_ptr<CaptureDevice> makePipeWireCapture(const std::string&) {
  return makeNullCapture();
}
std::unique_ptr<PlaybackDevice> makePipeWirePlayback(const std::string&) {
  return makeNullPlayback();
}
std::vector<AudioDeviceEntry> listPipeWireDevices(bool) {
  return {};
}
#endif

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

void setAudioNotice(void (*receiver)(const std::string& line)) {
  detail::gNotice = receiver;
}

bool pipeWireEnabled() {
#ifdef QUILLET_HAVE_PIPEWIRE
  const char* env = std::getenv("QUILLET_PIPEWIRE");
  return env == nullptr || std::strcmp(env, "0") != 0;
#else
  return false;
#endif
}

namespace {

// "pipewire" or "pipewire:NODE": the node name (empty for the default); false otherwise.
bool pipeWireName(const std::string& name, std::string& node) {
  const size_t n = std::strlen(kPipeWireDevice);
  if (name.compare(0, n, kPipeWireDevice) != 0) return false;
  if (name.size() == n) {
    node.clear();
    return true;
  }
  if (name[n] != ':') return false;
  node = name.substr(n + 1);
  return true;
}

}  // namespace

AudioDeviceSpec resolveAudioDevice(const std::string& name, bool capture) {
  AudioDeviceSpec device;
  const bool pipeWire = pipeWireEnabled();
  std::string node;
  if (pipeWire && pipeWireName(name, node)) {
    device.kind = AudioDeviceSpec::Kind::PipeWire;
    device.target = node;
    return device;
  }
  if (name.rfind("file:", 0) == 0) {
    device.kind = AudioDeviceSpec::Kind::File;
    device.target = name.substr(5);
    return device;
  }
  if (name == "null") {
    device.kind = AudioDeviceSpec::Kind::Null;
    return device;
  }
  const bool isDefault = name.empty() || name == kDefaultSoundIn || name == kDefaultSoundOut;
  // PipeWire answers: its default device and its nodes by description.
  const bool answers = pipeWire && detail::pipeWireAnswers();
  if (answers) {
    device.kind = AudioDeviceSpec::Kind::PipeWire;
    if (isDefault) return device;
    for (const auto& d : detail::listPipeWireDevices(capture)) {
      if (d.name == name && pipeWireName(d.pcm, device.target)) return device;
    }
  }
  AudioDeviceSpec alsa;
  alsa.target = "default";
  if (!isDefault) {
    for (const auto& d : listAlsaDevices(capture)) {
      if (d.name == name) {
        alsa.target = d.pcm;
        return alsa;
      }
    }
    // Not a shown name: an ALSA PCM name of the configuration (hw:0,0, a PCM of the user's
    // own) is taken as it is.
    if (detail::alsaPcmDefined(name)) {
      alsa.target = name;
      return alsa;
    }
  }
  // Anything else (a device that has gone) means the default device.
  return answers ? device : alsa;
}

std::vector<AudioDeviceEntry> listAudioDevices(bool capture) {
  std::vector<AudioDeviceEntry> list;
  if (pipeWireEnabled()) list = detail::listPipeWireDevices(capture);
  const bool native = !list.empty();
  for (auto& d : listAlsaDevices(capture)) {
    // PipeWire's own ALSA plugin is no device of its own beside PipeWire's nodes.
    if (native && d.pcm == kPipeWireDevice) continue;
    list.push_back(std::move(d));
  }
  return list;
}

std::vector<std::string> audioDeviceNames(bool capture) {
  std::vector<std::string> names{capture ? kDefaultSoundIn : kDefaultSoundOut};
  for (auto& d : listAudioDevices(capture)) names.push_back(d.name);
  return names;
}

std::unique_ptr<CaptureDevice> makeCaptureDevice(const std::string& name) {
  const AudioDeviceSpec device = resolveAudioDevice(name, true);
  switch (device.kind) {
    case AudioDeviceSpec::Kind::File:
      return detail::makeFileCapture(device.target);
    case AudioDeviceSpec::Kind::Null:
      return detail::makeNullCapture();
    case AudioDeviceSpec::Kind::PipeWire:
      return detail::makePipeWireCapture(device.target);
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
    case AudioDeviceSpec::Kind::PipeWire:
      return detail::makePipeWirePlayback(device.target);
    case AudioDeviceSpec::Kind::Alsa:
      break;
  }
  return detail::makeAlsaPlayback(device.target);
}

}  // namespace quillet::platform
