// SPDX-License-Identifier: Apache-2.0
// EchoSuppressor: a three-band noise gate for 8000 or 16000 Hz mono microphone audio that
// also keeps each band closed while its level stays near the learned echo of the far-end
// signal (the echo control feeds it what the speaker plays). Its bands have the same edges
// at both rates (about 170 and 600 Hz); at 16000 Hz the high one reaches up to 8 kHz, so the
// values learned in a call carry over to the next one whichever rate it has.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "audio/audio_stream.h"

namespace quillet::audio {

// The play position a suppressor follows to align the microphone with the far end. The
// Player implements it; values are read without a lock and may be one block stale.
class PlayPosition {
 public:
  virtual ~PlayPosition() = default;
  // Source frames that have sounded.
  virtual uint32_t playPosition() const = 0;
  // Tick (ms) at which playPosition was last updated.
  virtual uint32_t playPositionTick() const = 0;
  // Rate of the played source.
  virtual uint32_t playRate() const = 0;
};

// What the suppressor learns and keeps from call to call: per band the noise floor register
// divided by 512 and the echo coupling (one value for all delay taps).
struct EchoLearned {
  std::array<int32_t, 3> noiseGate{};
  std::array<int32_t, 3> echo{};
};

struct EchoConfig {
  EchoLearned learned;
  bool fastAdaptation = true;  // couplings grow by 1/32 per step instead of 1/64
  // Called from the destructor with the values to store.
  std::function<void(const EchoLearned&)> store;
  // The tick clock (tests and offline runs replace it).
  std::function<uint32_t()> clock;
};

class EchoSuppressor : public AudioSink {
 public:
  static constexpr uint32_t kRate = 8000;
  static constexpr uint32_t kBlock = 80;       // samples per block (10 ms) at kRate
  static constexpr uint32_t kHistory = 80000;  // far-end samples kept (10 s) at kRate
  static constexpr uint32_t kHistoryBlocks = kHistory / kBlock;  // at either rate
  static constexpr uint32_t kMaxBlock = 2 * kBlock;              // a block at 16000 Hz
  static constexpr uint32_t kTaps = 32;                          // delay taps, one per block
  static constexpr uint32_t kBands = 3;
  // A play position older than twice the Player's usual update interval plus this (at
  // least 60 ms in a call, where it publishes every 20 ms), or one that says more has
  // sounded than was written, means playback stalled: what the microphone hears cannot be
  // matched with the far end for a while (the device ran dry, capture lost samples).
  static constexpr uint32_t kStaleMs = 20;
  // Blocks after such a reading in which the suppressor neither learns nor lets its echo
  // estimate fall, and keeps its alignment (200 ms: the device queue and the capture
  // latency that the stalled audio comes out over).
  static constexpr uint32_t kUnsureBlocks = 20;

  // player may be null (no alignment: the far end is taken as already in step).
  // rate: 8000 or 16000 Hz, of both the microphone and the far end.
  EchoSuppressor(const PlayPosition* player, EchoConfig config, uint32_t rate = kRate);
  ~EchoSuppressor() override;

  // Near end: microphone samples, any block size.
  void Write(const int32_t* samples, uint32_t frames) override;
  void Seek(uint32_t position) override { down_->Seek(position); }

  // Far end: what the tap read, and the tapped source's position after the read.
  void farEnd(const int32_t* samples, uint32_t frames, uint32_t position);

  void setDownstream(SinkRef sink) { down_ = std::move(sink); }
  // While set, no band opens further than it does in `other` (same thread as Write; null
  // lifts the limit).
  void limitTo(const EchoSuppressor* other) { ceiling_ = other; }
  const SinkRef& downstream() const { return down_; }

  // Echo estimate of one delay tap: coupling × far-end peak / 1024, taken in 64 bits (modulo
  // 2^32 a loud far end could look quiet).
  static uint64_t echoEstimate(uint32_t coupling, int32_t farPeak) {
    return farPeak <= 0 ? 0 : (uint64_t{coupling} * static_cast<uint64_t>(farPeak)) >> 10;
  }

  // The values the destructor would store now.
  EchoLearned learned() const;
  // Inspection for tests.
  uint32_t alignment() const { return align_; }
  uint32_t farWriteIndex() const { return farIndex_.load(); }
  bool unsure() const { return unsureBlocks_ > 0; }
  int32_t targetGain(uint32_t band) const { return target_[band]; }
  uint32_t coupling(uint32_t band, uint32_t tap) const { return coupling_[band][tap]; }

 private:
  struct BandSplit {
    bool wide = false;  // at 16000 Hz: the same edges in Hz
    int32_t s0 = 0, s1 = 0, s2 = 0;
    // Splits x into high, middle and low bands that add up to x without DC.
    void split(int32_t x, int32_t* bands);
  };
  static void correctPeaks(int32_t* p);
  void adapt();
  int64_t unalignedEcho(uint32_t band, uint32_t block) const;
  int32_t wrapHalf(int64_t d) const;
  uint32_t wrapIndex(int64_t i) const;
  void followCadence(uint32_t tick);
  void outputWaiting();

  const PlayPosition* player_;
  EchoConfig config_;
  // The rate's figures: samples per block and kept, and samples per 8000 Hz sample.
  const uint32_t block_;
  const uint32_t history_;
  const int32_t scale_;
  SinkRef down_;
  const EchoSuppressor* ceiling_ = nullptr;

  // Far end (feeder thread).
  // Written by the feeder thread, read by the capture thread without a lock.
  std::atomic<uint32_t> farIndex_{0};
  std::atomic<uint32_t> farPosition_{0};
  std::unique_ptr<std::atomic<int32_t>[]> farPeaks_;  // kHistoryBlocks × kBands
  std::array<int32_t, kBands> farCur_{};              // peaks of the block being filled
  BandSplit farSplit_;

  // Near end (capture thread).
  BandSplit nearSplit_;
  uint32_t align_ = 0;
  bool aligned_ = false;  // align_ followed the play position once
  int32_t behind_ = 0;    // samples from align_ to where the play position says (0: in step)
  uint32_t unalignedBlocks_ = 0;  // blocks still to take the echo at any delay
  std::array<int32_t, kBands> peak_{};
  std::array<int32_t, kBands> prevPeak_{};
  std::array<int64_t, kBands> prevEcho_{};  // the previous block's echo estimate
  std::array<int64_t, kBands> heldEcho_{};  // the estimate held while the reference is unsure
  uint32_t unsureBlocks_ = 0;               // blocks still to treat as unsure
  uint32_t lastTick_ = 0;                   // the Player's position tick last seen
  uint32_t cadenceMs_ = 20;                 // its usual update interval (rises at once)
  std::array<int32_t, kBands> floor_{};     // noise floor × 256
  std::array<int32_t, kBands> gain_{};
  std::array<int32_t, kBands> target_{};
  std::array<std::array<uint32_t, kTaps>, kBands> coupling_{};
  std::array<std::array<int32_t, kMaxBlock * kBands>, 2> buf_{};
  uint32_t filling_ = 0;
  uint32_t fill_ = 0;
  int waiting_ = -1;  // buffer waiting for output, -1 none
  uint32_t readIndex_ = 0;
  std::array<int32_t, kMaxBlock> out_{};
};

}  // namespace quillet::audio
