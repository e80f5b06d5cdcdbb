// SPDX-License-Identifier: Apache-2.0
// PlayoutClock: decodes played packets and keeps the audio written to playback ahead of
// real time by as much as the stream's jitter needs, filling gaps with soft noise or a
// pitch-repeating concealment, and shortening or stretching voiced audio to follow the target.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>

#include "codecs/audio_codec.h"
#include "media/jitter_estimate.h"
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
  uint8_t telephoneEvent = 255;
  // Opus or G.722 when negotiated: its payload type (and the one we offered, which a far
  // end may send with) and codec. Opus runs on a 48000 Hz RTP clock, the others on 8000.
  uint8_t wide = 255;
  uint8_t wideOffered = 255;
  codecs::CodecId wideCodec = codecs::CodecId::kG722;
};

class PlayoutClock {
 public:
  static constexpr int32_t kConcealSamples = 1875;
  static constexpr int32_t kFrameMs = 20;
  static constexpr int32_t kMarginMs = 20;         // kept queued on top of the jitter
  static constexpr int32_t kMaxTargetMs = 300;     // the target never goes above this
  static constexpr int32_t kStartTargetMs = 60;    // the least target until jitter is known
  static constexpr int32_t kLowWaterMs = 10;       // below this much queued, fill
  static constexpr int32_t kSilenceLowMs = 15;     // ... with noise in silence
  static constexpr int32_t kShrinkAboveMs = 10;    // shrink above target + this ...
  static constexpr int32_t kStretchBelowMs = 5;    // ... stretch below target - this
  static constexpr int32_t kCeilingAboveMs = 100;  // past target + this, packets are dropped
  static constexpr int32_t kUrgentMs = 60;         // this far off, voiced audio is adapted now
  // ... and when off for this long of a spurt: too much queued waits long for a pause (a
  // target that falls as a burst leaves the window would otherwise cut into a word), too
  // little, which risks concealment, only briefly.
  static constexpr int32_t kShrinkPatienceMs = 2500;
  static constexpr int32_t kStretchPatienceMs = 200;
  // A frame whose peak stays below this (about -50 dB of full scale) is a pause: well below
  // the quiet moments inside a word, which a room's reverberation keeps above it ...
  static constexpr int32_t kQuietPeak = 100 * 16;
  static constexpr int32_t kQuietKeptMs = 60;  // ... and the first this much of a pause stays

  // rate: the audio rate written to the output, 8000 or 16000 Hz; every codec's audio is
  // brought to it, and the ms figures below hold at either rate.
  PlayoutClock(PlayoutOutput& output, uint32_t seed, uint32_t rate = 8000);
  ~PlayoutClock();
  uint32_t rate() const { return rate_; }

  // A packet has just been received (it plays now or later): measures the stream's jitter.
  // Telephone events do not count: their timestamp stays at the start of the tone while
  // they keep coming, which would read as a stream falling further and further behind.
  void arrived(const RtpSlot& packet, uint32_t nowMs, const PlayoutTypes& types = {});
  // The wanted delay in ms from a packet's earliest possible arrival to its playout.
  int32_t targetMs();
  // That delay for the next sample to play (ahead when nothing has been measured).
  int32_t delayMs() { return delayMs(expectedTimestamp_); }
  int32_t jitterMs() { return jitter_.jitterMs(); }
  bool jitterReady() const { return jitter_.ready(); }

  // Plays one packet; `late` when it plays after a gap in the sequence numbers.
  void play(const RtpSlot& packet, bool late, const PlayoutTypes& types);

  // ms of audio written ahead of now; restarts the clock at -200 or below.
  int32_t ahead();
  // How long to wait for a missing packet before playing the head late (<= 5: play now).
  int32_t gapWait() { return ahead() - kLowWaterMs; }
  // Tops playback up when no packet can play; answers the wait time in ms.
  int32_t idleFill();

  bool silenceMode() const { return silence_; }
  uint32_t samplesWritten() const { return samplesWritten_; }
  uint32_t expectedTimestamp() const { return expectedTimestamp_; }
  // Samples made up for audio that did not come in time (lost or late packets).
  uint32_t concealedSamples() const { return concealedSamples_; }
  // Samples taken out or put in to follow the target, and packets dropped at the ceiling.
  uint32_t shrunkSamples() const { return shrunkSamples_; }
  uint32_t stretchedSamples() const { return stretchedSamples_; }
  uint32_t droppedPackets() const { return droppedPackets_; }

 private:
  int32_t delayMs(uint32_t timestamp);
  void writeDecoded(int32_t* samples, size_t count);
  // Follows the target before voiced samples are written; false drops them.
  bool adapt(int32_t* samples, size_t& count);
  static bool isQuiet(const int32_t* samples, size_t count);
  // Splices: the samples are cross-faded in from the history's pitch continuation `next`,
  // leaving out their first `at`, chosen from..to where they match `next` best.
  static constexpr size_t kSpliceSamples = 40;  // at 8000 Hz: 5 ms
  using Splice = std::array<int32_t, 2 * kSpliceSamples>;
  void continuation(Splice& next);
  size_t bestCut(const int32_t* samples, size_t count, size_t from, size_t to,
                 const Splice& next) const;
  void joinAt(int32_t* samples, size_t& count, size_t at, const Splice& next);
  // A packet's RTP timestamp in samples of the output rate.
  uint32_t sampleTime(uint32_t timestamp, bool opusClock);
  // Decodes one Opus or G.722 packet and writes it.
  void playWide(const uint8_t* payload, size_t length, const PlayoutTypes& types);
  // Lost Opus audio before `payload`: the codec's concealment, the last frame from the
  // packet's redundant copy of it.
  void recoverLost(size_t count, const uint8_t* payload, size_t length);
  codecs::AudioCodec* wideDecoder(codecs::CodecId id);
  // Brings `count` decoded samples at `from` Hz in decoded_ to the output rate.
  size_t fitRate(size_t count, uint32_t from);
  void writeNoise(size_t count);
  void conceal(size_t count);
  void findPitch();
  // Makes concealment samples (zeros once the count has run out) into the history.
  void makeConcealment(int32_t* out, size_t count);
  void crossFade(int32_t* samples, size_t count);
  void pushHistory(int32_t sample) { history_[historyIndex_++ & kHistoryMask] = sample; }
  int32_t historyAt(int back) const {
    return history_[(historyIndex_ - static_cast<uint32_t>(back)) & kHistoryMask];
  }
  void output(const int32_t* samples, size_t count);

  PlayoutOutput& out_;
  static constexpr uint32_t kHistoryMask = 511;
  std::array<int32_t, kHistoryMask + 1> history_{};
  uint32_t historyIndex_ = 0;
  const uint32_t rate_;
  const uint32_t k_;        // samples per 8000 Hz sample: 1 or 2
  const uint32_t perMs_;    // samples per ms
  int32_t quietRunMs_ = 0;  // the current pause's length so far
  size_t splice_;           // samples of a cross-fade (5 ms)
  // The Opus clock (48000) to samples: anchored at a packet's timestamp.
  bool opusAnchored_ = false;
  uint32_t anchorTimestamp_ = 0;
  uint32_t anchorSamples_ = 0;
  std::unique_ptr<codecs::AudioCodec> wide_;
  int32_t concealCount_ = 0;
  int32_t pitch_ = 60;
  JitterEstimate jitter_;
  bool splicePending_ = false;
  int32_t offTargetMs_ = 0;  // voiced audio played off the target in this talk spurt
  int32_t lastOutput_ = 0;   // the last sample written
  uint32_t concealedSamples_ = 0;
  uint32_t shrunkSamples_ = 0;
  uint32_t stretchedSamples_ = 0;
  uint32_t droppedPackets_ = 0;

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
