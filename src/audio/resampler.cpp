// SPDX-License-Identifier: Apache-2.0
// Polyphase resampler: Kaiser-windowed sinc tables and the sink and source that run them.
#include "audio/resampler.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace quillet::audio {

double besselI0(double x) {
  const double q = x * x / 4.0;
  double sum = 1.0;
  double term = 1.0;
  for (int k = 1; k <= 6; ++k) {
    term *= q / (static_cast<double>(k) * k);
    sum += term;
  }
  return sum;
}

namespace {

// The smallest denominator whose fraction is within 0.001 of the ratio, else the best.
void choosePhases(PolyphaseTable& t, double ratio) {
  double best = ratio;
  t.phases = 1;
  for (uint32_t d = 1; d <= 255; ++d) {
    const double e = std::fabs(ratio - std::trunc(d * ratio + 0.5) / d);
    if (e < best) {
      t.phases = d;
      if (e < 0.001) break;
      best = e;
    }
  }
  t.step = std::max<uint32_t>(1, static_cast<uint32_t>(t.phases * ratio + 0.5));
}

// Kaiser-windowed sinc of cut-off fc (1 = the input's Nyquist frequency) for every phase.
void fillCoefficients(PolyphaseTable& t, double fc, double beta, double (*i0)(double)) {
  const int h = static_cast<int>(t.taps / 2);
  const double k = fc * 65536.0 / i0(beta);
  t.coef.resize(static_cast<size_t>(t.phases) * t.taps);
  for (uint32_t p = 0; p < t.phases; ++p) {
    for (uint32_t j = 0; j < t.taps; ++j) {
      const double tt = (static_cast<int>(j) - h) - static_cast<double>(p) / t.phases;
      double c;
      if (tt == 0.0) {
        c = std::trunc(fc * 65536.0 + 0.5);
      } else {
        const double x = std::numbers::pi * fc * tt;
        const double w =
            i0(beta * std::sqrt(std::max(0.0, 1.0 - tt * tt / ((h + 1.0) * (h + 1.0)))));
        c = std::round(std::sin(x) / x * w * k);
      }
      t.coef[static_cast<size_t>(p) * t.taps + j] = static_cast<int32_t>(c);
    }
  }
}

// The exact zeroth-order Bessel function (the series to order 6 is too short for a beta
// that gives 60 dB).
double besselI0Exact(double x) {
  const double q = x * x / 4.0;
  double sum = 1.0, term = 1.0;
  for (int k = 1; k <= 40 && term > 1e-12 * sum; ++k) {
    term *= q / (static_cast<double>(k) * k);
    sum += term;
  }
  return sum;
}

}  // namespace

PolyphaseTable PolyphaseTable::design(uint32_t inputRate, uint32_t outputRate, uint32_t taps,
                                      bool quality) {
  PolyphaseTable t;
  t.taps = taps;
  choosePhases(t, static_cast<double>(inputRate) / outputRate);
  if (outputRate > inputRate) {
    fillCoefficients(t, 0.975, 2.12, besselI0);
  } else {
    fillCoefficients(t,
                     static_cast<double>(outputRate) / inputRate - (quality ? 0.09375 : 0.046875),
                     4.538, besselI0);
  }
  return t;
}

PolyphaseTable PolyphaseTable::designCapture(uint32_t inputRate, uint32_t outputRate) {
  if (outputRate >= inputRate) return design(inputRate, outputRate, ResamplingSink::kTaps, false);
  PolyphaseTable t;
  const double ratio = static_cast<double>(inputRate) / outputRate;
  t.taps = static_cast<uint32_t>(40 * ratio) | 1;
  choosePhases(t, ratio);
  // Cut-off at 0.475 of the output rate; the window's transition band (about 0.09 of the
  // output rate with 40 taps per output frame) lies between 0.43 and 0.52 of it.
  const double fc = 0.95 / ratio;
  fillCoefficients(t, fc, 5.65, besselI0Exact);  // 60 dB
  for (uint32_t p = 0; p < t.phases; ++p) {
    // Unity DC gain in every phase, to the last unit.
    int32_t* c = t.coef.data() + static_cast<size_t>(p) * t.taps;
    int64_t sum = 0;
    for (uint32_t j = 0; j < t.taps; ++j) sum += c[j];
    c[t.taps / 2] += static_cast<int32_t>(65536 - sum);
  }
  return t;
}

int32_t polyphaseSample(const int32_t* hist, uint32_t channels, uint32_t c, const int32_t* coef,
                        uint32_t taps) {
  // Two half sums, each halved before they are added, as the 32-bit original did; they are
  // accumulated in 64 bits so that loud input cannot overflow them.
  const uint32_t split = taps / 2 + 1;
  int64_t a = 0;
  int64_t b = 0;
  for (uint32_t j = 0; j < split; ++j) a += static_cast<int64_t>(hist[j * channels + c]) * coef[j];
  for (uint32_t j = split; j < taps; ++j) {
    b += static_cast<int64_t>(hist[j * channels + c]) * coef[j];
  }
  return static_cast<int32_t>(((a >> 1) + (b >> 1) + 1024) >> 11);
}

// ---- ResamplingSink ----

ResamplingSink::ResamplingSink(uint32_t inputRate, SinkRef downstream)
    : AudioSink(inputRate, downstream->channels()),
      down_(std::move(downstream)),
      table_(PolyphaseTable::designCapture(inputRate, down_->rate())),
      out_(static_cast<size_t>(kOutFrames) * channels_) {
  resetHistory();
}

void ResamplingSink::resetHistory() {
  hist_.assign(static_cast<size_t>(table_.taps / 2) * channels_, 0);
  phase_ = 0;
  skip_ = 0;
}

void ResamplingSink::Write(const int32_t* samples, uint32_t frames) {
  position_ += frames;
  if (channels_ != 1 && channels_ != 2) return;
  const size_t total = static_cast<size_t>(frames) * channels_;
  size_t first = std::min<size_t>(static_cast<size_t>(skip_) * channels_, total);
  skip_ -= static_cast<uint32_t>(first / channels_);
  for (size_t i = first; i < total; ++i) hist_.push_back(samples[i] >> 4);
  run();
}

void ResamplingSink::run() {
  const uint32_t c = channels_;
  const uint32_t m = static_cast<uint32_t>(hist_.size() / c);
  uint32_t i = 0;
  const uint32_t taps = table_.taps;
  while (i + taps < m) {
    if (outFrames_ == kOutFrames) {
      down_->Write(out_.data(), outFrames_);
      outFrames_ = 0;
    }
    const int32_t* coef = table_.phase(phase_);
    for (uint32_t ch = 0; ch < c; ++ch) {
      out_[static_cast<size_t>(outFrames_) * c + ch] =
          polyphaseSample(hist_.data() + static_cast<size_t>(i) * c, c, ch, coef, taps);
    }
    ++outFrames_;
    phase_ += table_.step;
    i += phase_ / table_.phases;
    phase_ %= table_.phases;
  }
  if (outFrames_ > 0) {
    down_->Write(out_.data(), outFrames_);
    outFrames_ = 0;
  }
  // A step larger than the history (strong downsampling) leaves frames still to skip.
  const uint32_t used = std::min(i, m);
  skip_ += i - used;
  hist_.erase(hist_.begin(), hist_.begin() + static_cast<ptrdiff_t>(used) * c);
}

void ResamplingSink::Seek(uint32_t position) {
  if (channels_ == 1 || channels_ == 2) {
    hist_.insert(hist_.end(), static_cast<size_t>(table_.taps / 2 + 1) * channels_, 0);
    run();
  }
  position_ = position;
  // Positions convert to the output rate by n / s (output frames per input frame).
  down_->Seek(static_cast<uint32_t>(static_cast<uint64_t>(position) * table_.phases / table_.step));
  resetHistory();
}

// ---- ResamplingSource ----

namespace {

int32_t doubledPeak(int32_t peak) {
  return peak <= 0x100000 ? peak * 2 : peak;
}

}  // namespace

ResamplingSource::ResamplingSource(uint32_t outputRate, SourceRef source, bool quality)
    : SourceFilter(source, static_cast<int32_t>(outputRate), source->channels(),
                   doubledPeak(source->peakRange())),
      table_(PolyphaseTable::design(source->rate(), outputRate, kTaps, quality)) {
  resetHistory();
  position_ = static_cast<uint32_t>(static_cast<uint64_t>(source_->Position()) * table_.phases /
                                    table_.step);
}

void ResamplingSource::resetHistory() {
  hist_.assign(static_cast<size_t>(table_.taps / 2) * channels_, 0);
  phase_ = 0;
  index_ = 0;
  tail_ = 0;
}

uint32_t ResamplingSource::inputNeeded(uint32_t k) const {
  if (k == 0) return 0;
  const uint64_t last =
      index_ + (phase_ + static_cast<uint64_t>(k - 1) * table_.step) / table_.phases;
  const uint64_t m = hist_.size() / channels_;
  const uint64_t need = last + kTaps + 1;
  return need > m ? static_cast<uint32_t>(need - m) : 0;
}

void ResamplingSource::Read(int32_t* buffer, uint32_t frames) {
  const uint32_t c = channels_;
  if (c != 1 && c != 2) {
    std::fill(buffer, buffer + static_cast<size_t>(frames) * c, 0);
    position_ += frames;
    return;
  }
  const uint32_t need = inputNeeded(frames);
  if (need > 0) {
    if (!source_->MoreComing()) {
      const int32_t avail = std::max(0, source_->available());
      if (need > static_cast<uint32_t>(avail)) tail_ += need - static_cast<uint32_t>(avail);
    }
    in_.resize(static_cast<size_t>(need) * c);
    source_->Read(in_.data(), need);
    for (int32_t x : in_) hist_.push_back(x >> 4);
  }
  for (uint32_t f = 0; f < frames; ++f) {
    const int32_t* coef = table_.phase(phase_);
    for (uint32_t ch = 0; ch < c; ++ch) {
      buffer[static_cast<size_t>(f) * c + ch] =
          polyphaseSample(hist_.data() + static_cast<size_t>(index_) * c, c, ch, coef, kTaps);
    }
    phase_ += table_.step;
    index_ += phase_ / table_.phases;
    phase_ %= table_.phases;
  }
  const uint32_t m = static_cast<uint32_t>(hist_.size() / c);
  const uint32_t used = std::min(index_, m);
  hist_.erase(hist_.begin(), hist_.begin() + static_cast<ptrdiff_t>(used) * c);
  index_ -= used;
  position_ += frames;
}

uint32_t ResamplingSource::Length() {
  int64_t avail = std::max(0, source_->available());
  // A finished source reads as zeros past its end: enough of them to bring the last real
  // input frames through the filter's delay count once. Zeros already read beyond those
  // (a reader that looks ahead) are no data, so the end stays where the real input ends
  // and the position may pass it.
  if (!source_->MoreComing()) avail += int64_t{kTaps / 2 + 1} - tail_;
  const int64_t m = static_cast<int64_t>(hist_.size() / channels_);
  const int64_t last = m + avail - index_ - kTaps - 1;  // latest usable output index
  // Outputs whose input index is at most `last`, counted from the current one (negative when
  // the position is already past them): ceil(((last + 1) × n - phase) / s), floored division.
  const int64_t num = (last + 1) * table_.phases - phase_;
  const int64_t s = table_.step;
  const int64_t k = num >= 0 ? (num + s - 1) / s : -((-num) / s);
  if (source_->MoreComing() && k < 0) return position_;
  return position_ + static_cast<uint32_t>(k);
}

void ResamplingSource::Seek(uint32_t frame) {
  source_->Seek(static_cast<uint32_t>(static_cast<uint64_t>(frame) * table_.step / table_.phases));
  resetHistory();
  position_ = frame;
}

}  // namespace quillet::audio
