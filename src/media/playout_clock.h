// PlayoutClock: decodes played packets and keeps the audio written to playback a little
// ahead of real time, filling gaps with soft noise or a pitch-repeating concealment.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>

#include "media/reorder_buffer.h"
#include "media/voice_codec.h"

namespace quillet::media {

// Where the playout clock writes, and the time it keeps to. The receive thread writes to
// the session's playback writer; tests use a scripted clock.
class PlayoutOutput {
 public:
  virtual ~PlayoutOutput() = default;
  virtual uint32_t nowMs() = 0;
  virtual void sleepMs(uint32_t ms) = 0;
  virtual void writeSamples(const int32_t* samples, size_t count) = 0;
};

// The negotiated payload types playout tells apart (255 = none).
struct PlayoutTypes {
  uint8_t comfortNoise = 255;
  uint8_t g726 = 255;      // "G726-32"
  uint8_t g726Aal2 = 255;  // "AAL2-G726-32"
};

class PlayoutClock {
 public:
  static constexpr int32_t kGapFillLimitMs = 125;  // gap fills never go beyond this ahead
  static constexpr int32_t kConcealSamples = 1875;

  PlayoutClock(PlayoutOutput& output, uint32_t seed);

  // Plays one packet; `late` when it plays after a gap in the sequence numbers.
  void play(const RtpSlot& packet, bool late, const PlayoutTypes& types);

  // ms of audio written ahead of now; restarts the clock at -200 or below.
  int32_t ahead();
  // How long to wait for a missing packet before playing the head late (<= 5: play now).
  int32_t gapWait() { return ahead() - (silence_ ? 10 : 50); }
  // Tops playback up when no packet can play; answers the wait time in ms.
  int32_t idleFill();

  bool silenceMode() const { return silence_; }
  uint32_t samplesWritten() const { return samplesWritten_; }
  uint32_t expectedTimestamp() const { return expectedTimestamp_; }
  int32_t concealmentCount() const { return concealCount_; }
  int32_t pitch() const { return pitch_; }

 private:
  void writeDecoded(int32_t* samples, size_t count);
  void writeNoise(size_t count);
  void conceal(size_t count);
  void findPitch();
  // Makes concealment samples (zeros once the count has run out) into the history.
  void makeConcealment(int32_t* out, size_t count);
  void crossFade(int32_t* samples, size_t count);
  void pushHistory(int32_t sample) { history_[historyIndex_++] = sample; }
  int32_t historyAt(int back) const { return history_[static_cast<uint8_t>(historyIndex_ - back)]; }
  void output(const int32_t* samples, size_t count);

  PlayoutOutput& out_;
  std::array<int32_t, 256> history_{};
  uint8_t historyIndex_ = 0;
  int32_t concealCount_ = 0;
  int32_t pitch_ = 60;

  // Noise generator.
  std::minstd_rand random_;
  bool noiseReady_ = false;
  std::array<uint8_t, 128> noiseTable_{};
  uint32_t noiseRead_ = 0;
  uint32_t noisePosition_ = 0;
  uint8_t noiseXor_ = 0;
  int32_t noisePrevious_ = 0;

  VoiceCodec codec_;
  bool seen_ = false;
  uint32_t expectedTimestamp_ = 0;
  uint32_t currentSsrc_ = 0;
  uint32_t baseTick_;
  uint32_t samplesWritten_ = 0;
  bool silence_ = true;
  std::array<int32_t, 8192> decoded_{};  // decoded payload
  std::array<int32_t, 8192> fill_{};     // noise and concealment
};

}  // namespace quillet::media
