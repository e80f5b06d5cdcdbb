// SPDX-License-Identifier: Apache-2.0
// PlayoutClock: decoding, gap fills, concealment, cross-fades, the ahead clock and the
// delay that follows the jitter target.
#include "media/playout_clock.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "codecs/opus_codec.h"

namespace quillet::media {

namespace {
constexpr size_t kLeastCut = 40;  // a shrink takes out at least 5 ms ...
constexpr size_t kMostCut = 100;  // ... and at most 12.5 ms of a frame
constexpr size_t kNoCut = SIZE_MAX;
}  // namespace

PlayoutClock::PlayoutClock(PlayoutOutput& output, uint32_t seed, uint32_t rate)
    : out_(output),
      rate_(rate == 16000 ? 16000 : 8000),
      k_(rate_ / 8000),
      perMs_(rate_ / 1000),
      splice_(kSpliceSamples * k_),
      random_(seed == 0 ? 1 : seed),
      baseTick_(output.nowMs() - 200) {
  codec_.reset();
  jitter_.setUnitsPerMs(perMs_);
}

PlayoutClock::~PlayoutClock() = default;

int32_t PlayoutClock::ahead() {
  uint32_t now = out_.nowMs();
  auto value = static_cast<int32_t>(samplesWritten_ / perMs_ + baseTick_ - now);
  if (value <= -200) {
    samplesWritten_ = 0;
    baseTick_ = now;
    value = 0;
  }
  return value;
}

void PlayoutClock::arrived(const RtpSlot& packet, uint32_t nowMs, const PlayoutTypes& types) {
  const uint8_t type = packet.packet.header.payloadType;
  if (type == types.telephoneEvent) return;
  const bool opusClock = types.wide != 255 && types.wideCodec == codecs::CodecId::kOpus &&
                         (type == types.wide || type == types.wideOffered);
  jitter_.arrived(packet.packet.header.ssrc, sampleTime(packet.packet.header.timestamp, opusClock),
                  nowMs);
}

int32_t PlayoutClock::targetMs() {
  // Until half a second has been measured, the start of a call is guarded more.
  const int32_t least = jitter_.measuredMs() < 500 ? kStartTargetMs : kFrameMs;
  return std::clamp(jitter_.jitterMs() + kMarginMs, least, kMaxTargetMs);
}

int32_t PlayoutClock::delayMs(uint32_t timestamp) {
  const int32_t now = ahead();  // also restarts a clock that fell behind
  if (!jitter_.ready()) return now;
  const uint32_t playout = baseTick_ * perMs_ + samplesWritten_;
  return static_cast<int32_t>(playout - jitter_.earliestArrival(timestamp)) /
         static_cast<int32_t>(perMs_);
}

void PlayoutClock::output(const int32_t* samples, size_t count) {
  out_.writeSamples(samples, count);
  if (count > 0) lastOutput_ = samples[count - 1];
  samplesWritten_ += static_cast<uint32_t>(count);
}

void PlayoutClock::play(const RtpSlot& packet, bool late, const PlayoutTypes& types) {
  const RtpHeader& header = packet.packet.header;
  const uint8_t type = header.payloadType;
  const bool wide = types.wide != 255 && (type == types.wide || type == types.wideOffered);
  const bool opus = wide && types.wideCodec == codecs::CodecId::kOpus;
  const uint32_t timestamp = sampleTime(header.timestamp, opus);
  const uint8_t* payload = packet.payload();
  size_t length = packet.packet.payloadLength;
  if (!seen_ || header.ssrc != currentSsrc_) {
    expectedTimestamp_ = timestamp;
    currentSsrc_ = header.ssrc;
    seen_ = true;
    splicePending_ = false;
  }
  auto gap = static_cast<int32_t>(timestamp - expectedTimestamp_);
  if (gap > 0) {
    // Gap fills go no further than a frame beyond the target.
    int32_t room = targetMs() + kFrameMs - ahead();
    if (room > 0) {
      size_t n = static_cast<size_t>(std::min(room * static_cast<int32_t>(perMs_), gap));
      if (!late || silence_) {
        writeNoise(n / 2);
        silence_ = true;
      } else if (opus) {
        recoverLost(n, payload, length);
        concealedSamples_ += static_cast<uint32_t>(n);
      } else {
        conceal(n);
        concealedSamples_ += static_cast<uint32_t>(n);
      }
    }
  }
  expectedTimestamp_ = timestamp;

  if (wide) {
    playWide(payload, length, types);
  } else if (type == kPayloadGsm) {
    for (size_t at = 0; at + kGsmFrameBytes <= length; at += kGsmFrameBytes) {
      codec_.decodeGsm(payload + at, decoded_.data());
      const size_t count = fitRate(kFrameSamples, 8000);
      writeDecoded(decoded_.data(), count);
      expectedTimestamp_ += static_cast<uint32_t>(count);
    }
  } else if (type == kPayloadPcmu || type == kPayloadPcma) {
    size_t at = 0;
    do {  // a payload of 0 bytes still ends silence mode
      size_t chunk = std::min(length - at, decoded_.size() / 2);
      codec_.decodeG711(type, payload + at, chunk, decoded_.data());
      const size_t count = fitRate(chunk, 8000);
      writeDecoded(decoded_.data(), count);
      expectedTimestamp_ += static_cast<uint32_t>(count);
      at += chunk;
    } while (at < length);
  } else if (type == types.g726 || type == types.g726Aal2) {
    const bool aal2 = type == types.g726Aal2;
    for (size_t at = 0; at < length; at += 160) {
      size_t chunk = std::min<size_t>(length - at, 160);
      codec_.decodeG726(aal2, payload + at, chunk, decoded_.data());
      const size_t count = fitRate(2 * chunk, 8000);
      writeDecoded(decoded_.data(), count);
      expectedTimestamp_ += static_cast<uint32_t>(count);
    }
  } else if (type == types.comfortNoise || type == kPayloadCn) {
    silence_ = true;
  }
}

void PlayoutClock::writeDecoded(int32_t* samples, size_t count) {
  if (silence_) {
    // First audio after a silence: let playback drain a little, then pad with noise to
    // the target and fade in from the noise, so that the talk starts without a gap or step.
    int32_t before = ahead();
    if (before > 15) out_.sleepMs(static_cast<uint32_t>(std::min(before - 10, 30)));
    int32_t pad = targetMs() - delayMs();
    if (pad > 0) writeNoise(static_cast<size_t>(pad) * perMs_);
    silence_ = false;
    offTargetMs_ = 0;
    const int32_t from = lastOutput_;
    auto m = static_cast<int32_t>(std::min(count, splice_));
    for (int32_t j = 0; j < m; ++j) {
      samples[j] = static_cast<int32_t>(
          (static_cast<int64_t>(from) * (m - j) + static_cast<int64_t>(samples[j]) * j) / m);
    }
  } else if (!adapt(samples, count)) {
    return;
  }
  if (concealCount_ > 0) {
    crossFade(samples, count);
  } else if (splicePending_) {
    // After a dropped packet: join within a pitch period of the new samples' start.
    splicePending_ = false;
    Splice next{};
    continuation(next);
    const size_t cut = bestCut(samples, count, 0, static_cast<size_t>(pitch_), next);
    if (cut != kNoCut) joinAt(samples, count, cut, next);
  }
  output(samples, count);
  for (size_t i = 0; i < count; ++i) pushHistory(samples[i]);
  concealCount_ = 0;
}

bool PlayoutClock::adapt(int32_t* samples, size_t& count) {
  if (!jitter_.ready() || concealCount_ > 0) return true;
  const int32_t target = targetMs();
  const int32_t delay = delayMs();
  if (delay > target + kCeilingAboveMs) {
    // Far too much queued: the oldest audio not yet written goes, joined smoothly.
    ++droppedPackets_;
    splicePending_ = true;
    return false;
  }
  // Off the target by a little: wait for the next pause (a talk spurt starts at the
  // target) unless it lasts; by a lot: act now. Changing a word's length is heard.
  const int32_t off = delay > target + kShrinkAboveMs    ? 1
                      : delay < target - kStretchBelowMs ? -1
                                                         : 0;
  offTargetMs_ = off == 0 ? 0 : offTargetMs_ + static_cast<int32_t>(count / perMs_);
  const int32_t patience = off > 0 ? kShrinkPatienceMs : kStretchPatienceMs;
  // A sender that never stops sending (no silence suppression) has no talk spurts: the
  // quiet between its words is the pause, where a cut is not heard and may be long. The
  // first 60 ms of quiet stay, as a word may have quiet moments of its own.
  const bool quiet = isQuiet(samples, count);
  const bool quietCut = off > 0 && quiet && quietRunMs_ >= kQuietKeptMs;
  quietRunMs_ = quiet ? quietRunMs_ + static_cast<int32_t>(count / perMs_) : 0;
  if (!quietCut && std::abs(delay - target) < kUrgentMs && offTargetMs_ < patience) return true;
  if (off > 0) {
    // The cut is where the samples match best (a pitch period for a voice); it is made
    // only when it does not take the delay below the target.
    Splice next{};
    continuation(next);
    // In a pause, as much as is owed, up to what a frame leaves for the join.
    const size_t owed = static_cast<size_t>(delay - target) * perMs_;
    const size_t cut = quietCut && count >= splice_ + kLeastCut * k_
                           ? std::min(owed, count - splice_)
                           : bestCut(samples, count, kLeastCut * k_, kMostCut * k_, next);
    if (cut <= owed) {
      joinAt(samples, count, cut, next);
      shrunkSamples_ += static_cast<uint32_t>(cut);
    }
  } else if (off < 0 && !splicePending_) {
    // One pitch period again, cross-faded into the new samples.
    findPitch();
    if ((target - delay) * static_cast<int32_t>(perMs_) >= pitch_) {
      conceal(static_cast<size_t>(pitch_));
      stretchedSamples_ += static_cast<uint32_t>(pitch_);
    }
  }
  return true;
}

bool PlayoutClock::isQuiet(const int32_t* samples, size_t count) {
  int32_t peak = 0;
  for (size_t i = 0; i < count; ++i) peak = std::max(peak, std::abs(samples[i]));
  return peak < kQuietPeak;
}

void PlayoutClock::continuation(Splice& next) {
  // What would follow the history: its last pitch period again (pitch >= 5 ms).
  findPitch();
  for (size_t j = 0; j < splice_; ++j) next[j] = historyAt(pitch_ - static_cast<int>(j));
}

size_t PlayoutClock::bestCut(const int32_t* samples, size_t count, size_t from, size_t to,
                             const Splice& next) const {
  if (count < splice_ + from) return kNoCut;
  to = std::min(to, count - splice_);
  size_t best = kNoCut;
  int64_t bestSum = -1;
  for (size_t at = from; at <= to; ++at) {
    int64_t sum = 0;
    for (size_t j = 0; j < splice_; ++j)
      sum += std::llabs(static_cast<int64_t>(next[j]) - samples[at + j]);
    if (bestSum < 0 || sum < bestSum) {
      bestSum = sum;
      best = at;
    }
  }
  return best;
}

void PlayoutClock::joinAt(int32_t* samples, size_t& count, size_t at, const Splice& next) {
  const auto m = static_cast<int64_t>(splice_);
  for (size_t j = 0; j < splice_; ++j) {
    const auto k = static_cast<int64_t>(j);
    samples[at + j] = static_cast<int32_t>((next[j] * (m - k) + samples[at + j] * k) / m);
  }
  std::copy(samples + at, samples + count, samples);
  count -= at;
}

void PlayoutClock::writeNoise(size_t count) {
  if (!noiseReady_) {
    random_.seed(static_cast<uint32_t>(random_() ^ out_.nowMs()));
    for (auto& byte : noiseTable_) byte = static_cast<uint8_t>(random_() >> 8);
    noiseRead_ = 0;
    noisePosition_ = 0;
    noiseXor_ = 0;
    noisePrevious_ = 0;
    noiseReady_ = true;
  }
  while (count > 0) {
    size_t chunk = std::min(count, fill_.size());
    for (size_t i = 0; i < chunk; ++i) {
      if (noiseRead_ >= 128) {
        uint8_t control = noiseTable_[noisePosition_];
        noiseRead_ = control & 0x3F;
        noiseXor_ = control;
        noisePosition_ = (noisePosition_ + 1) % 128;
      }
      int32_t value = (noiseTable_[noiseRead_] ^ noiseXor_) + noisePrevious_ / 2 - 127;
      ++noiseRead_;
      noisePrevious_ = value;
      fill_[i] = value;
    }
    if (concealCount_ > 0) crossFade(fill_.data(), chunk);
    output(fill_.data(), chunk);
    count -= chunk;
  }
}

void PlayoutClock::findPitch() {
  int64_t best = -1;
  // Lags of 5 to 11 ms (a voice's pitch period), over the last 7.4 ms, recent ones weighed more.
  const int k = static_cast<int>(k_);
  for (int lag = 40 * k; lag <= 89 * k; ++lag) {
    int64_t sum = 0;
    for (int back = 1; back <= 59 * k; ++back) {
      int64_t diff = static_cast<int64_t>(historyAt(back)) - historyAt(back + lag);
      sum += std::llabs(diff) * (81 * k - back);
    }
    if (best < 0 || sum < best) {
      best = sum;
      pitch_ = lag;
    }
  }
}

void PlayoutClock::makeConcealment(int32_t* out, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    int32_t value = 0;
    if (concealCount_ > 0) {
      value = static_cast<int32_t>(static_cast<int64_t>(historyAt(pitch_)) * (concealCount_ - 1) /
                                   (2000 * static_cast<int64_t>(k_)));
      --concealCount_;
    }
    pushHistory(value);
    out[i] = value;
  }
}

void PlayoutClock::conceal(size_t count) {
  if (concealCount_ == 0) {
    findPitch();
    concealCount_ = kConcealSamples * static_cast<int32_t>(k_);
  }
  while (count > 0) {
    size_t chunk = std::min(count, fill_.size());
    makeConcealment(fill_.data(), chunk);
    output(fill_.data(), chunk);
    count -= chunk;
  }
  if (concealCount_ == 0) silence_ = true;
}

void PlayoutClock::crossFade(int32_t* samples, size_t count) {
  auto m = static_cast<int32_t>(std::min(count, splice_));
  Splice fade{};
  makeConcealment(fade.data(), static_cast<size_t>(m));
  for (int32_t j = 0; j < m; ++j) {
    samples[j] = static_cast<int32_t>(
        (static_cast<int64_t>(fade[j]) * (m - j) + static_cast<int64_t>(samples[j]) * j) / m);
  }
  concealCount_ = 0;
}

uint32_t PlayoutClock::sampleTime(uint32_t timestamp, bool opusClock) {
  if (!opusClock) return timestamp * k_;
  // 48000 Hz to the output rate is a division: anchored so that the wrap of the 32-bit
  // timestamp does not jump.
  const int64_t den = 48000 / rate_;
  if (!opusAnchored_) {
    opusAnchored_ = true;
    anchorTimestamp_ = timestamp;
    anchorSamples_ = static_cast<uint32_t>(timestamp / den);
  }
  int64_t d = static_cast<int32_t>(timestamp - anchorTimestamp_);
  if (d > (int64_t{1} << 30) || d < -(int64_t{1} << 30)) {
    const int64_t step = d / den * den;
    anchorTimestamp_ += static_cast<uint32_t>(step);
    anchorSamples_ += static_cast<uint32_t>(step / den);
    d -= step;
  }
  const int64_t q = d >= 0 ? d / den : -((-d + den - 1) / den);
  return anchorSamples_ + static_cast<uint32_t>(q);
}

codecs::AudioCodec* PlayoutClock::wideDecoder(codecs::CodecId id) {
  if (!wide_ || wide_->id() != id) {
    if (id == codecs::CodecId::kOpus) {
      codecs::OpusSettings settings;
      settings.sampleRate = static_cast<int>(rate_);
      wide_ = codecs::OpusCodec::create(settings);
    } else {
      wide_ = codecs::createAudioCodec(id);
    }
  }
  return wide_.get();
}

size_t PlayoutClock::fitRate(size_t count, uint32_t from) {
  if (from == rate_) return count;
  if (from < rate_) {
    // 8000 to 16000 Hz: every second sample between its neighbours.
    count = std::min(count, decoded_.size() / 2);
    for (size_t i = count; i-- > 0;) {
      const int32_t a = decoded_[i];
      const int32_t b = i + 1 < count ? decoded_[i + 1] : a;
      decoded_[2 * i] = a;
      decoded_[2 * i + 1] = (a + b) / 2;
    }
    return 2 * count;
  }
  for (size_t i = 0; i < count / 2; ++i) decoded_[i] = (decoded_[2 * i] + decoded_[2 * i + 1]) / 2;
  return count / 2;
}

void PlayoutClock::playWide(const uint8_t* payload, size_t length, const PlayoutTypes& types) {
  codecs::AudioCodec* codec = wideDecoder(types.wideCodec);
  if (codec == nullptr || length == 0 ||
      static_cast<size_t>(codec->maxDecodedSamples(static_cast<int>(length))) >
          decoded_.size() / 2) {
    return;
  }
  const int decoded = codec->decode(payload, static_cast<int>(length), decoded_.data());
  if (decoded <= 0) return;
  const uint32_t from = types.wideCodec == codecs::CodecId::kOpus ? rate_ : 16000;
  const size_t count = fitRate(static_cast<size_t>(decoded), from);
  writeDecoded(decoded_.data(), count);
  expectedTimestamp_ += static_cast<uint32_t>(count);
}

void PlayoutClock::recoverLost(size_t count, const uint8_t* payload, size_t length) {
  codecs::AudioCodec* codec = wideDecoder(codecs::CodecId::kOpus);
  const size_t frame = perMs_ * static_cast<size_t>(kFrameMs);
  while (count > 0 && codec != nullptr) {
    // The frame just before the packet may be in the packet itself (in-band FEC).
    const bool last = count <= frame;
    const int made = codec->decodeLost(last ? payload : nullptr,
                                       last ? static_cast<int>(length) : 0, fill_.data());
    if (made <= 0) break;
    const size_t n = std::min(count, static_cast<size_t>(made));
    if (concealCount_ > 0) crossFade(fill_.data(), n);
    output(fill_.data(), n);
    for (size_t i = 0; i < n; ++i) pushHistory(fill_[i]);
    count -= n;
  }
  if (count > 0) conceal(count);
}

int32_t PlayoutClock::idleFill() {
  const int32_t low = silence_ ? kSilenceLowMs : kLowWaterMs;
  const int32_t now = ahead();
  if (now - low >= 5) return now - low;
  // A frame's worth above the low mark: noise in silence, else concealment.
  auto count = static_cast<size_t>(low + kFrameMs - now) * perMs_;
  if (silence_) {
    writeNoise(count);
    samplesWritten_ += 4 * k_;
  } else if (wide_ && wide_->id() == codecs::CodecId::kOpus) {
    recoverLost(count, nullptr, 0);
    concealedSamples_ += static_cast<uint32_t>(count);
  } else {
    conceal(count);
    concealedSamples_ += static_cast<uint32_t>(count);
  }
  expectedTimestamp_ += static_cast<uint32_t>(count);
  return kFrameMs;
}

}  // namespace quillet::media
