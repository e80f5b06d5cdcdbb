// SPDX-License-Identifier: Apache-2.0
// EchoSuppressor: three-band split of microphone and far-end audio, per-block peaks, a
// learned noise floor and learned echo couplings over 32 block delays, and a per-band gate
// with fast opening and slow closing.
#include "audio/echo_suppressor.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "audio/converters.h"
#include "platform/tick.h"

namespace quillet::audio {

namespace {

constexpr int32_t kUnity = 0x1000000;
constexpr int32_t kGainUp = 0x20000;   // per sample at 8000 Hz
constexpr int32_t kGainDown = 0x2000;  // per sample at 8000 Hz
constexpr int32_t kFarQuiet = 2048;    // far-end peaks up to this teach nothing

}  // namespace

int32_t EchoSuppressor::wrapHalf(int64_t d) const {
  const int64_t h = history_;
  d %= h;
  if (d > h / 2) d -= h;
  if (d < -h / 2) d += h;
  return static_cast<int32_t>(d);
}

uint32_t EchoSuppressor::wrapIndex(int64_t i) const {
  const int64_t h = history_;
  i %= h;
  if (i < 0) i += h;
  return static_cast<uint32_t>(i);
}

// One-pole filters: the DC notch at about 40 Hz, the low band below about 170 Hz and the
// middle one up to about 600 Hz. At 16000 Hz each pole is about the square root of its
// 8000 Hz one, which keeps the edges where they are.
void EchoSuppressor::BandSplit::split(int32_t x, int32_t* bands) {
  const int32_t d = x - (s2 >> (wide ? 6 : 5));
  s2 += d;
  s1 += d;
  const int32_t low = s1 >> (wide ? 4 : 3);
  s1 -= low;
  s0 += d;
  const int32_t t = wide ? (s0 >> 7) * 27 : (s0 >> 3) * 3;
  s0 -= t;
  bands[0] = d - t;    // high
  bands[1] = t - low;  // middle
  bands[2] = low;      // low
}

// Takes out of the outer bands what leaks into them from the middle one and the reverse.
// A peak is never negative: what the correction would push below 0 reads as 0 (a negative
// far-end peak taken as unsigned would otherwise look like a very loud echo).
void EchoSuppressor::correctPeaks(int32_t* p) {
  const int32_t m = p[1] >> 3;
  const int32_t p2 = p[2] - m;
  const int32_t p0 = p[0] - m;
  const int32_t p1 = p[1] - (p2 >> 5) - (p0 >> 3);
  p[0] = std::max(0, p0);
  p[1] = std::max(0, p1);
  p[2] = std::max(0, p2);
}

EchoSuppressor::EchoSuppressor(const PlayPosition* player, EchoConfig config, uint32_t rate)
    : AudioSink(rate == 2 * kRate ? rate : kRate, 1),
      player_(player),
      config_(std::move(config)),
      block_(kBlock * static_cast<uint32_t>(AudioSink::rate()) / kRate),
      history_(kHistoryBlocks * block_),
      scale_(static_cast<int32_t>(block_ / kBlock)),
      farPeaks_(new std::atomic<int32_t>[kHistoryBlocks * kBands]) {
  farSplit_.wide = nearSplit_.wide = scale_ == 2;
  for (uint32_t i = 0; i < kHistoryBlocks * kBands; ++i) farPeaks_[i].store(0);
  for (uint32_t b = 0; b < kBands; ++b) {
    const int32_t gate = std::clamp(config_.learned.noiseGate[b], 0, 0x3FFFFF);
    floor_[b] = gate * 512;
    const uint32_t c = static_cast<uint32_t>(std::max(0, config_.learned.echo[b]));
    coupling_[b].fill(c);
  }
  if (!config_.clock) config_.clock = [] { return platform::tickMs(); };
}

EchoSuppressor::~EchoSuppressor() {
  if (config_.store) config_.store(learned());
}

EchoLearned EchoSuppressor::learned() const {
  EchoLearned l;
  for (uint32_t b = 0; b < kBands; ++b) {
    l.noiseGate[b] = floor_[b] >> 9;
    const uint32_t c = *std::max_element(coupling_[b].begin(), coupling_[b].end());
    l.echo[b] = static_cast<int32_t>(std::min<uint32_t>(c, std::numeric_limits<int32_t>::max()));
  }
  return l;
}

void EchoSuppressor::farEnd(const int32_t* samples, uint32_t frames, uint32_t position) {
  uint32_t index = farIndex_.load(std::memory_order_relaxed);
  while (frames > 0) {
    if (index >= history_) index = 0;
    const uint32_t chunk = std::min(frames, block_ - index % block_);
    for (uint32_t i = 0; i < chunk; ++i) {
      int32_t bands[kBands];
      farSplit_.split(samples[i], bands);
      for (uint32_t b = 0; b < kBands; ++b) farCur_[b] = std::max(farCur_[b], std::abs(bands[b]));
    }
    samples += chunk;
    frames -= chunk;
    index += chunk;
    if (index % block_ == 0) {
      correctPeaks(farCur_.data());
      const uint32_t block = (index - 1) / block_;
      for (uint32_t b = 0; b < kBands; ++b) {
        farPeaks_[block * kBands + b].store(farCur_[b], std::memory_order_relaxed);
      }
      farCur_.fill(0);
    }
    // Published after the block's peaks, so the near end never reads a block ahead of them.
    farIndex_.store(index, std::memory_order_release);
  }
  farPosition_.store(position, std::memory_order_release);
}

void EchoSuppressor::Write(const int32_t* samples, uint32_t frames) {
  position_ += frames;
  const uint32_t n = frames;
  const uint32_t farIndex = farIndex_.load(std::memory_order_acquire) % history_;
  const int32_t step = 4 * scale_;  // the alignment's step, and how far it may be off
  const int32_t slack = 64 * scale_;
  const int64_t margin = int64_t{block_} - 1;

  // Follow the play position: the far-end sample heard when this block was recorded.
  int64_t followed = -1;  // where the position puts it, when followed in this write
  if (player_ != nullptr) {
    const uint32_t now = config_.clock();
    const uint32_t rate = player_->playRate();
    const uint32_t elapsed = now - player_->playPositionTick();
    const uint32_t latency = farPosition_.load(std::memory_order_acquire) -
                             player_->playPosition() -
                             static_cast<uint32_t>(static_cast<uint64_t>(elapsed) * rate / 1000);
    // A tick taken after the clock read reads as a huge elapsed time: a fresh position.
    const bool stale = elapsed < 0x80000000u && elapsed > 2 * cadenceMs_ + kStaleMs;
    const bool overrun = static_cast<int32_t>(latency) < -static_cast<int32_t>(block_);
    if (stale || overrun) unsureBlocks_ = kUnsureBlocks + (n + block_ - 1) / block_;
    followCadence(player_->playPositionTick());
    if (latency < history_ && unsureBlocks_ == 0) {
      // A block newer than the position says: a position a period stale must not leave
      // the onset of the echo outside the delay taps.
      const uint32_t target = wrapIndex(int64_t{farIndex} - latency - n + block_);
      const int32_t d = wrapHalf(int64_t{target} - align_);
      if (!aligned_ && elapsed < 1000) {
        // The far end may have played for a while before the microphone started: line up
        // at once rather than creep there, blind to the echo meanwhile.
        align_ = target;
        aligned_ = true;
      } else if (d > slack) {  // one step at a time: a single wild position does no harm
        align_ = wrapIndex(int64_t{align_} + step);
      } else if (d < -slack) {
        align_ = wrapIndex(int64_t{align_} - step);
      }
      followed = target;
    }
  }
  // Never closer to the far end's write index than a block plus this write.
  const int64_t closest = int64_t{farIndex} - n - margin;
  const int32_t lag = wrapHalf(int64_t{farIndex} - align_);
  if (lag < static_cast<int64_t>(n) + margin) align_ = wrapIndex(closest);
  if (followed >= 0) {
    if (wrapHalf(int64_t{farIndex} - followed) < static_cast<int64_t>(n) + margin)
      followed = wrapIndex(closest);
    const int32_t d = wrapHalf(followed - align_);
    behind_ = std::abs(d) > slack ? d : 0;
    if (behind_ != 0) unalignedBlocks_ = kUnsureBlocks;
  }

  uint32_t remaining = frames;
  while (remaining > 0) {
    const uint32_t chunk = std::min(remaining, block_ - fill_);
    int32_t* dst = buf_[filling_].data() + static_cast<size_t>(fill_) * kBands;
    for (uint32_t i = 0; i < chunk; ++i) {
      nearSplit_.split(samples[i], dst + i * kBands);
      for (uint32_t b = 0; b < kBands; ++b)
        peak_[b] = std::max(peak_[b], std::abs(dst[i * kBands + b]));
    }
    samples += chunk;
    remaining -= chunk;
    fill_ += chunk;
    if (fill_ == block_) {
      adapt();
      if (waiting_ >= 0) outputWaiting();
      waiting_ = static_cast<int>(filling_);
      readIndex_ = 0;
      filling_ ^= 1;
      fill_ = 0;
    }
    align_ = wrapIndex(int64_t{align_} + chunk);
  }
  // Nothing attenuated: hand the finished block on now instead of a block later.
  if (int64_t{target_[0]} + target_[1] + target_[2] >= 3 * int64_t{kUnity} && waiting_ >= 0 &&
      waiting_ != static_cast<int>(filling_)) {
    outputWaiting();
  }
}

// The interval between the Player's position updates: taken up at once, so that a Player
// with long blocks never looks stalled, and let down by an eighth per update.
void EchoSuppressor::followCadence(uint32_t tick) {
  const uint32_t interval = tick - lastTick_;
  if (interval == 0) return;
  lastTick_ = tick;
  if (interval > 1000) return;  // the first position, or one after a pause
  cadenceMs_ = std::max(interval, cadenceMs_ - (cadenceMs_ >> 3));
}

void EchoSuppressor::adapt() {
  correctPeaks(peak_.data());
  const uint32_t c = align_ / block_;
  const uint32_t step = config_.fastAdaptation ? 5 : 6;
  const bool unsure = unsureBlocks_ > 0;
  if (unsure) --unsureBlocks_;
  const bool unaligned = unalignedBlocks_ > 0;
  if (unaligned) --unalignedBlocks_;
  // A block far below the noise floor in every band is a capture gap filled with silence,
  // not the room: it tells nothing of the echo.
  bool gap = true;
  for (uint32_t b = 0; b < kBands; ++b) gap = gap && int64_t{peak_[b]} * 8 < (floor_[b] >> 8);
  const bool learn = !unsure && !gap;
  for (uint32_t b = 0; b < kBands; ++b) {
    const int64_t n = peak_[b];
    const int64_t f = floor_[b];
    const int64_t e = n - (f >> 8);
    floor_[b] = static_cast<int32_t>(
        std::clamp<int64_t>(e < 0 ? f + e : f + (e >> 4), 0, std::numeric_limits<int32_t>::max()));

    // The echo estimate is the largest coupling × far-end peak over the 32 block delays.
    int64_t m = 0;
    for (uint32_t t = 0; t < kTaps; ++t) {
      const uint32_t blk = (c + kHistoryBlocks - t) % kHistoryBlocks;
      const int64_t r = farPeaks_[blk * kBands + b].load(std::memory_order_relaxed);
      uint32_t& cp = coupling_[b][t];
      const int64_t est = static_cast<int64_t>(echoEstimate(cp, static_cast<int32_t>(r)));
      m = std::max(m, est);
      if (learn && r > kFarQuiet) {
        if (n > est) {
          const uint64_t grown = uint64_t{cp} + (cp >> step) + 1;
          cp = static_cast<uint32_t>(
              std::min<uint64_t>(grown, std::numeric_limits<uint32_t>::max()));
        } else {
          const int64_t shrunk = int64_t{cp} - (cp >> 4) - 2;
          cp = static_cast<uint32_t>(std::max<int64_t>(0, shrunk));
        }
      }
    }
    if (unaligned) m = std::max(m, unalignedEcho(b, c));
    // The level is the larger of this block's peak and the last one's: so is the echo it
    // is held against, or the gate opens on the block after the far end falls silent.
    // While the reference is unsure the estimate does not fall at all.
    const int64_t two = std::max(m, prevEcho_[b]);
    prevEcho_[b] = m;
    heldEcho_[b] = unsure ? std::max(heldEcho_[b], two) : two;
    m = heldEcho_[b];
    const int64_t lo = (f >> 8) + (f >> 10) + m + (m >> 1);
    const int64_t width = (f >> 9) + 64 + (m >> 1);
    const int64_t level = std::max<int64_t>(n, prevPeak_[b]);
    if (level >= lo + width) {
      target_[b] = kUnity;
    } else if (level <= lo) {
      target_[b] = 0;
    } else {
      target_[b] = static_cast<int32_t>(static_cast<double>(level - lo) * 16777216.0 /
                                        static_cast<double>(width));
    }
    if (ceiling_ != nullptr) target_[b] = std::min(target_[b], ceiling_->target_[b]);
    prevPeak_[b] = static_cast<int32_t>(n);
    peak_[b] = 0;
  }
}

// While the alignment steps towards a play position that jumped (the device's queue filled
// up or ran dry), and for a while after, the echo may stand at any delay from where the taps
// look to where the position says: the loudest far end over that span with the largest
// coupling.
int64_t EchoSuppressor::unalignedEcho(uint32_t band, uint32_t block) const {
  constexpr int32_t kMostBlocks = 2 * kTaps;
  const int32_t ahead =
      std::clamp(behind_ / static_cast<int32_t>(block_), -kMostBlocks, kMostBlocks);
  const int32_t from = std::min(-static_cast<int32_t>(kTaps) + 1, ahead);
  const int32_t to = std::max(0, ahead);
  int32_t far = 0;
  for (int32_t k = from; k <= to; ++k) {
    const uint32_t blk =
        static_cast<uint32_t>((int64_t{block} + k + kHistoryBlocks) % kHistoryBlocks);
    far = std::max(far, farPeaks_[blk * kBands + band].load(std::memory_order_relaxed));
  }
  const uint32_t most = *std::max_element(coupling_[band].begin(), coupling_[band].end());
  return static_cast<int64_t>(echoEstimate(most, far));
}

void EchoSuppressor::outputWaiting() {
  const int32_t* src = buf_[static_cast<size_t>(waiting_)].data();
  uint32_t count = 0;
  // The gains move as fast in time at either rate.
  const int32_t up = kGainUp / scale_;
  const int32_t down = kGainDown / scale_;
  for (uint32_t i = readIndex_; i < block_; ++i) {
    int32_t sum = 0;
    for (uint32_t b = 0; b < kBands; ++b) {
      int32_t& g = gain_[b];
      const int32_t t = target_[b];
      if (g < t) {
        g = std::min(t, g + up);
      } else if (g > t) {
        g = std::max(t, g - down);
      }
      sum += applyGainQ24(src[i * kBands + b], g);
    }
    out_[count++] = sum;
  }
  readIndex_ = block_;
  waiting_ = -1;
  if (count > 0) down_->Write(out_.data(), count);
}

}  // namespace quillet::audio
