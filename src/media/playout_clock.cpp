// PlayoutClock: decoding, gap fills, concealment, cross-fades and the ahead clock.
#include "media/playout_clock.h"

#include <algorithm>
#include <cstdlib>

namespace quillet::media {

PlayoutClock::PlayoutClock(PlayoutOutput& output, uint32_t seed)
    : out_(output), random_(seed == 0 ? 1 : seed), baseTick_(output.nowMs() - 200) {
  codec_.reset();
}

int32_t PlayoutClock::ahead() {
  uint32_t now = out_.nowMs();
  auto value = static_cast<int32_t>(samplesWritten_ / 8 + baseTick_ - now);
  if (value <= -200) {
    samplesWritten_ = 0;
    baseTick_ = now;
    value = 0;
  }
  return value;
}

void PlayoutClock::output(const int32_t* samples, size_t count) {
  out_.writeSamples(samples, count);
  samplesWritten_ += static_cast<uint32_t>(count);
}

void PlayoutClock::play(const RtpSlot& packet, bool late, const PlayoutTypes& types) {
  const RtpHeader& header = packet.packet.header;
  if (!seen_ || header.ssrc != currentSsrc_) {
    expectedTimestamp_ = header.timestamp;
    currentSsrc_ = header.ssrc;
    seen_ = true;
  }
  auto gap = static_cast<int32_t>(header.timestamp - expectedTimestamp_);
  if (gap > 0) {
    int32_t room = kGapFillLimitMs - ahead();
    if (room > 0) {
      size_t n = static_cast<size_t>(std::min(room * 8, gap));
      if (!late || silence_) {
        writeNoise(n / 2);
        silence_ = true;
      } else {
        conceal(n);
      }
    }
  }
  expectedTimestamp_ = header.timestamp;

  const uint8_t* payload = packet.payload();
  size_t length = packet.packet.payloadLength;
  uint8_t type = header.payloadType;
  if (type == kPayloadGsm) {
    for (size_t at = 0; at + kGsmFrameBytes <= length; at += kGsmFrameBytes) {
      codec_.decodeGsm(payload + at, decoded_.data());
      writeDecoded(decoded_.data(), kFrameSamples);
      expectedTimestamp_ += kFrameSamples;
    }
  } else if (type == kPayloadPcmu || type == kPayloadPcma) {
    size_t at = 0;
    do {  // a payload of 0 bytes still ends silence mode
      size_t chunk = std::min(length - at, decoded_.size());
      codec_.decodeG711(type, payload + at, chunk, decoded_.data());
      writeDecoded(decoded_.data(), chunk);
      at += chunk;
    } while (at < length);
    expectedTimestamp_ += static_cast<uint32_t>(length);
  } else if (type == types.g726 || type == types.g726Aal2) {
    const bool aal2 = type == types.g726Aal2;
    for (size_t at = 0; at < length; at += 160) {
      size_t chunk = std::min<size_t>(length - at, 160);
      codec_.decodeG726(aal2, payload + at, chunk, decoded_.data());
      writeDecoded(decoded_.data(), 2 * chunk);
      expectedTimestamp_ += static_cast<uint32_t>(2 * chunk);
    }
  } else if (type == types.comfortNoise || type == kPayloadCn) {
    silence_ = true;
  }
}

void PlayoutClock::writeDecoded(int32_t* samples, size_t count) {
  if (silence_) {
    // First audio after a silence: let playback drain a little, then pad with noise so
    // that about 125 ms is queued and the talk starts without a gap.
    int32_t before = ahead();
    if (before > 15) out_.sleepMs(static_cast<uint32_t>(std::min(before - 10, 30)));
    if (kGapFillLimitMs - before > 30)
      writeNoise(static_cast<size_t>(kGapFillLimitMs - before) * 8);
    silence_ = false;
  }
  if (concealCount_ > 0) crossFade(samples, count);
  output(samples, count);
  for (size_t i = 0; i < count; ++i) pushHistory(samples[i]);
  concealCount_ = 0;
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
  for (int lag = 40; lag <= 89; ++lag) {
    int64_t sum = 0;
    for (int k = 1; k <= 59; ++k) {
      int64_t diff = static_cast<int64_t>(historyAt(k)) - historyAt(k + lag);
      sum += std::llabs(diff) * (81 - k);
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
                                   2000);
      --concealCount_;
    }
    pushHistory(value);
    out[i] = value;
  }
}

void PlayoutClock::conceal(size_t count) {
  if (concealCount_ == 0) {
    findPitch();
    concealCount_ = kConcealSamples;
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
  auto m = static_cast<int32_t>(std::min<size_t>(count, 40));
  std::array<int32_t, 40> fade{};
  makeConcealment(fade.data(), static_cast<size_t>(m));
  for (int32_t j = 0; j < m; ++j) {
    samples[j] = static_cast<int32_t>(
        (static_cast<int64_t>(fade[j]) * (m - j) + static_cast<int64_t>(samples[j]) * j) / m);
  }
  concealCount_ = 0;
}

int32_t PlayoutClock::idleFill() {
  int32_t margin = silence_ ? 15 : 40;
  int32_t now = ahead();
  if (now - margin >= 15) return now - margin;
  auto count = static_cast<size_t>(70 - now) * 8;
  if (silence_) {
    writeNoise(count);
    samplesWritten_ += 4;
  } else {
    conceal(count);
  }
  expectedTimestamp_ += static_cast<uint32_t>(count);
  return 15;
}

}  // namespace quillet::media
