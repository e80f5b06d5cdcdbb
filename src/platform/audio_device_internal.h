// SPDX-License-Identifier: Apache-2.0
// Pieces shared by the ALSA, PipeWire, file and null device back-ends (not for use outside
// them).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio_device.h"

namespace quillet::platform::detail {

// Nanoseconds of CLOCK_MONOTONIC.
int64_t monotonicNs();

// Waits until stopFd (or wakeFd) is readable or timeoutMs passes (-1: no limit).
// Answers Stopped when stopFd is readable, Ready when wakeFd is, TimedOut otherwise.
AudioWait waitFds(int stopFd, int wakeFd, int timeoutMs);

// True when fd is readable now (a set stop event): a device never hands out a block then.
bool readableNow(int fd);

// The end of a wait of timeoutMs from now (-1: no end).
class WaitDeadline {
 public:
  explicit WaitDeadline(int timeoutMs);
  // Shortens wait (ms, -1 = unlimited) to what is left before the end; false once the end
  // has passed.
  bool limit(int& wait) const;

 private:
  int64_t end_ = 0;
  bool limited_ = false;
};

// Copies `frames` interleaved frames into a ring of whole frames, starting at the frame
// offset `at` (taken modulo the ring's size in frames).
void copyToRing(std::vector<int16_t>& ring, uint32_t channels, uint64_t at, const int16_t* samples,
                uint32_t frames);

// A non-blocking eventfd used to wake a waiting thread; closed on destruction.
class WakeFd {
 public:
  WakeFd();
  ~WakeFd();
  WakeFd(const WakeFd&) = delete;
  WakeFd& operator=(const WakeFd&) = delete;
  int fd() const { return fd_; }
  void signal();
  void clear();

 private:
  int fd_ = -1;
};

// The queued blocks of a playback device by the frame offset at which each ends; a block is
// retired once the played frame count reaches its end. Fixed capacity: no allocation while
// playing.
class BlockLedger {
 public:
  void reset(uint32_t capacity);
  bool full() const { return count_ == ends_.size(); }
  bool empty() const { return count_ == 0; }
  void add(uint64_t end);
  void retire(uint64_t played);
  void dropAll();
  uint64_t nextEnd() const { return ends_[head_]; }
  uint64_t completed() const { return completed_; }

 private:
  std::vector<uint64_t> ends_;
  size_t head_ = 0;
  size_t count_ = 0;
  uint64_t completed_ = 0;
};

// A ring of whole interleaved frames between a sound server's callback and the blocking
// calls (the owner locks): writes take what fits, reads what is there.
class FrameRing {
 public:
  void reset(uint32_t channels, uint32_t capacityFrames);
  uint32_t size() const { return static_cast<uint32_t>(written_ - read_); }
  uint32_t space() const { return capacity_ - size(); }
  // Answer the frames copied.
  uint32_t write(const int16_t* samples, uint32_t frames);
  uint32_t read(int16_t* out, uint32_t frames);
  void clear() { read_ = written_; }

 private:
  std::vector<int16_t> ring_;
  uint32_t channels_ = 1;
  uint32_t capacity_ = 0;
  uint64_t written_ = 0;
  uint64_t read_ = 0;
};

// Mixes `fileChannels` interleaved channels down to `channels` (channel j takes the mean of
// the file channels j, j + channels, ...).
void mixDown(const int16_t* in, uint32_t fileChannels, int16_t* out, uint32_t channels,
             size_t frames);

// True when the ALSA configuration defines a PCM by this name ("hw:0,0" by "hw").
bool alsaPcmDefined(const std::string& name);

std::unique_ptr<CaptureDevice> makeAlsaCapture(const std::string& pcm);
std::unique_ptr<PlaybackDevice> makeAlsaPlayback(const std::string& pcm);
// PipeWire (built in and not turned off by QUILLET_PIPEWIRE=0): whether a daemon answers a
// connection now, the devices for a node name ("" = the default, followed when it
// changes) and the sink or source nodes as (node.description, "pipewire:NODE").
bool pipeWireAnswers();
std::unique_ptr<CaptureDevice> makePipeWireCapture(const std::string& node);
std::unique_ptr<PlaybackDevice> makePipeWirePlayback(const std::string& node);
std::vector<AudioDeviceEntry> listPipeWireDevices(bool capture);

// One line for the program's log (see setAudioNotice).
void audioNotice(const std::string& line);

std::unique_ptr<CaptureDevice> makeFileCapture(const std::string& path);
std::unique_ptr<PlaybackDevice> makeFilePlayback(const std::string& path);
std::unique_ptr<CaptureDevice> makeNullCapture();
std::unique_ptr<PlaybackDevice> makeNullPlayback();

}  // namespace quillet::platform::detail
