// SPDX-License-Identifier: Apache-2.0
// Sound devices for capture and playback: PipeWire streams, ALSA PCMs, WAV files
// ("file:PATH") and the "null" devices, behind one block-oriented interface with waits
// instead of polling.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quillet::platform {

inline constexpr char kDefaultSoundIn[] = "[Default Sound In]";
inline constexpr char kDefaultSoundOut[] = "[Default Sound Out]";
inline constexpr char kUnknownDevice[] = "(Unknown Device)";
// PipeWire's default device ("pipewire") and a given node ("pipewire:NODE_NAME").
inline constexpr char kPipeWireDevice[] = "pipewire";

// Result of opening a device in a format: a refused format is told apart from every other
// failure, because only the former makes the capture side try other formats.
enum class AudioOpen { Ok, BadFormat, Failed };

// Result of waiting on a device.
enum class AudioWait { Ready, Stopped, TimedOut, Failed };

// What a device name stands for.
struct AudioDeviceSpec {
  enum class Kind { Alsa, PipeWire, File, Null };
  Kind kind = Kind::Alsa;
  std::string target;  // ALSA PCM name, PipeWire node name ("" = its default) or file path
};

// True when PipeWire devices are built in and not turned off (QUILLET_PIPEWIRE=0 gives
// ALSA for everything, a PipeWire desktop then being reached through ALSA's own plugin).
bool pipeWireEnabled();

// Maps a stored device name to a device: empty and the "[Default ...]" names give PipeWire's
// default when it is enabled and a daemon answers, else ALSA "default"; "pipewire" and
// "pipewire:NODE" give PipeWire's default and that node (ALSA's PCM of that name when
// PipeWire is not enabled); "file:PATH" and "null" give the file and null devices; a
// description from the device list or a PCM name of the ALSA configuration gives that
// device; anything unknown gives the default.
AudioDeviceSpec resolveAudioDevice(const std::string& name, bool capture);

// One entry of the device list: the shown name (PipeWire's node description or ALSA's
// device description) and the device name it stands for ("pipewire:NODE" or the PCM).
struct AudioDeviceEntry {
  std::string name;
  std::string pcm;
};

// ALSA PCMs usable for capture (or playback), without the default device.
std::vector<AudioDeviceEntry> listAlsaDevices(bool capture);

// Every device for capture (or playback) without the default: PipeWire's sources (sinks)
// when it is enabled and answers, then the ALSA PCMs.
std::vector<AudioDeviceEntry> listAudioDevices(bool capture);

// The names shown to the user: "[Default Sound In]" (or "... Out") followed by every device.
std::vector<std::string> audioDeviceNames(bool capture);

// Where the devices' own notices go (a device moved to the default, what priority the
// sound threads got): one line each; without a receiver they are dropped.
void setAudioNotice(void (*receiver)(const std::string& line));

// Capture: the device fills blocks of a fixed size; blockCount blocks give the slack before
// it overruns. Samples are 16-bit, interleaved.
class CaptureDevice {
 public:
  virtual ~CaptureDevice() = default;
  CaptureDevice(const CaptureDevice&) = delete;
  CaptureDevice& operator=(const CaptureDevice&) = delete;

  // Opens in exactly this format (16-bit PCM).
  virtual AudioOpen open(uint32_t rate, uint32_t channels, uint32_t framesPerBlock,
                         uint32_t blockCount) = 0;
  virtual bool start() = 0;
  // Waits until a whole block is captured, stopFd (an eventfd or any fd) becomes readable
  // or timeoutMs passes, then copies the block into out (framesPerBlock × channels samples).
  virtual AudioWait readBlock(int16_t* out, int stopFd, int timeoutMs) = 0;
  // Stops capturing and hands out what was captured of the block being filled (no wait).
  // Answers the number of frames copied into out.
  virtual uint32_t stopAndDrain(int16_t* out) = 0;
  virtual void close() = 0;
  // The stream's own volume (a linear gain, 1 = as captured) where the device is a sound
  // server's stream with a volume of its own; false when it has none, and the caller
  // applies the gain itself.
  virtual bool setStreamVolume(float gain) {
    (void)gain;
    return false;
  }

  uint32_t rate() const { return rate_; }
  uint32_t channels() const { return channels_; }
  uint32_t framesPerBlock() const { return framesPerBlock_; }
  const std::string& lastError() const { return error_; }

 protected:
  CaptureDevice() = default;
  uint32_t rate_ = 0;
  uint32_t channels_ = 0;
  uint32_t framesPerBlock_ = 0;
  std::string error_;
};

// Playback: blocks are queued (at most maxBlocks at a time, each at most framesPerBlock
// frames) and retired in order once they have sounded. One thread may queue while another
// waits for completions.
class PlaybackDevice {
 public:
  virtual ~PlaybackDevice() = default;
  PlaybackDevice(const PlaybackDevice&) = delete;
  PlaybackDevice& operator=(const PlaybackDevice&) = delete;

  virtual AudioOpen open(uint32_t rate, uint32_t channels, uint32_t framesPerBlock,
                         uint32_t maxBlocks) = 0;
  // Queues one block; false when the device failed or the queue is full.
  virtual bool write(const int16_t* samples, uint32_t frames) = 0;
  // Blocks retired since open (a block dropped by reset counts as retired).
  virtual uint64_t completedBlocks() = 0;
  // Waits until more than `seen` blocks are retired, stopFd is readable or timeoutMs passes.
  virtual AudioWait waitCompletion(uint64_t seen, int stopFd, int timeoutMs) = 0;
  // Frames queued and not yet sounded: what the device holds, as the device itself reports
  // it, plus what is queued but not yet handed to it.
  virtual uint64_t queuedFrames() = 0;
  // Drops everything queued at once.
  virtual void reset() = 0;
  virtual void close() = 0;
  // The stream's own volume (a linear gain, 1 = as written) where the device is a sound
  // server's stream with a volume of its own; false when it has none, and the caller
  // applies the gain itself. The desktop's output volume is never touched by it.
  virtual bool setStreamVolume(float gain) {
    (void)gain;
    return false;
  }

  uint32_t rate() const { return rate_; }
  uint32_t channels() const { return channels_; }
  const std::string& lastError() const { return error_; }

 protected:
  PlaybackDevice() = default;
  uint32_t rate_ = 0;
  uint32_t channels_ = 0;
  std::string error_;
};

// Devices for a stored name (see resolveAudioDevice); never null.
std::unique_ptr<CaptureDevice> makeCaptureDevice(const std::string& name);
std::unique_ptr<PlaybackDevice> makePlaybackDevice(const std::string& name);

}  // namespace quillet::platform
