// SPDX-License-Identifier: Apache-2.0
// The polyphase resampler: the table design shared by the capture-side ResamplingSink
// (15 taps) and the playback-side ResamplingSource (63 taps).
#pragma once

#include <cstdint>
#include <vector>

#include "audio/audio_stream.h"

namespace quillet::audio {

// n phases, step s (input frames per n output frames) and n × taps coefficients
// (1.0 = 65536). The output rate is inputRate × n / s, within 0.1 % of the one asked for.
struct PolyphaseTable {
  uint32_t phases = 1;
  uint32_t step = 1;
  uint32_t taps = 0;
  std::vector<int32_t> coef;  // coef[phase * taps + tap]

  // quality selects the narrower cut-off used by the first of two downward stages.
  static PolyphaseTable design(uint32_t inputRate, uint32_t outputRate, uint32_t taps,
                               bool quality);
  // Downward on the capture side: as many taps as it takes (about 40 per output frame's
  // worth of input) for a passband flat within 0.1 dB to 0.43 of the output rate (3.4 kHz
  // at 8000 Hz) and 60 dB of stop band from 0.52 of it. Upward it is design(..., 15).
  static PolyphaseTable designCapture(uint32_t inputRate, uint32_t outputRate);
  const int32_t* phase(uint32_t p) const { return coef.data() + static_cast<size_t>(p) * taps; }
};

// The modified Bessel function of order 0 by its power series up to the term of order 6.
double besselI0(double x);

// The shared filter arithmetic over 16-bit-scale history frames: one output sample of
// channel c for input frame i (history interleaved by `channels`).
int32_t polyphaseSample(const int32_t* hist, uint32_t channels, uint32_t c, const int32_t* coef,
                        uint32_t taps);

// Capture side: rate = the input rate; writes the downstream's rate. Only 1 and 2 channels
// are processed; other channel counts produce no output.
class ResamplingSink : public AudioSink {
 public:
  static constexpr uint32_t kTaps = 15;  // upward
  static constexpr uint32_t kOutFrames = 8192;

  ResamplingSink(uint32_t inputRate, SinkRef downstream);
  void Write(const int32_t* samples, uint32_t frames) override;
  void Seek(uint32_t position) override;

  const PolyphaseTable& table() const { return table_; }

 private:
  void run();  // filters what the history holds and writes it downstream
  void resetHistory();

  SinkRef down_;
  PolyphaseTable table_;
  uint32_t phase_ = 0;
  std::vector<int32_t> hist_;  // 16-bit-scale samples, interleaved
  std::vector<int32_t> out_;
  uint32_t outFrames_ = 0;
  uint32_t skip_ = 0;  // input frames the filter has already stepped over
};

// Playback side: one stage, 63 taps. Declares twice the wrapped peak range (when that is at
// most 0x100000), since filtering can overshoot.
class ResamplingSource : public SourceFilter {
 public:
  static constexpr uint32_t kTaps = 63;

  ResamplingSource(uint32_t outputRate, SourceRef source, bool quality);
  void Read(int32_t* buffer, uint32_t frames) override;
  uint32_t Position() override { return position_; }
  uint32_t Length() override;
  void Seek(uint32_t frame) override;

  const PolyphaseTable& table() const { return table_; }

 private:
  // Input frames still needed (beyond what the history holds) to produce k more outputs.
  uint32_t inputNeeded(uint32_t k) const;
  void resetHistory();

  PolyphaseTable table_;
  uint32_t phase_ = 0;
  uint32_t index_ = 0;         // history frame of the next output
  std::vector<int32_t> hist_;  // 16-bit-scale samples, interleaved
  std::vector<int32_t> in_;    // read buffer
  uint32_t position_ = 0;      // output frames
  uint32_t tail_ = 0;          // frames read past the end of a finished source
};

}  // namespace quillet::audio
