// SPDX-License-Identifier: Apache-2.0
// RtpStream: the sequence number, timestamp and SSRC that every sender of one RTP session
// shares (voice, comfort noise, telephone events, keep-alives), and the one way out.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/random.h"

namespace quillet::media {

class RtpStream {
 public:
  // The SSRC, first sequence number and first timestamp are random, so that nobody who
  // has not seen the stream can guess them.
  RtpStream() { renew(); }
  virtual ~RtpStream() = default;

  // Starts a new stream: a new random SSRC, sequence number and timestamp.
  void renew() {
    uint32_t values[3];
    platform::randomBytes(values, sizeof(values));
    sequence_.store(static_cast<uint16_t>(values[0]), std::memory_order_relaxed);
    timestamp_.store(values[1], std::memory_order_relaxed);
    ssrc_.store(values[2], std::memory_order_relaxed);
  }

  // Sends one datagram (nothing while nobody is to receive it).
  virtual void sendPacket(const uint8_t* bytes, size_t length) = 0;

  // Takes the current sequence number; the next one is one higher.
  uint16_t takeSequence() { return sequence_.fetch_add(1, std::memory_order_relaxed); }
  // Takes the current timestamp and advances it by `increment` samples.
  uint32_t takeTimestamp(uint32_t increment) {
    return timestamp_.fetch_add(increment, std::memory_order_relaxed);
  }
  uint32_t timestamp() const { return timestamp_.load(std::memory_order_relaxed); }
  // Advances the timestamp by `increment` only when it still stands at `expected`.
  void advanceTimestampIf(uint32_t expected, uint32_t increment) {
    timestamp_.compare_exchange_strong(expected, expected + increment);
  }
  uint16_t sequence() const { return sequence_.load(std::memory_order_relaxed); }
  uint32_t ssrc() const { return ssrc_.load(std::memory_order_relaxed); }

 private:
  // Senders on different threads stamp without a lock; atomics keep each step whole.
  std::atomic<uint16_t> sequence_{0};
  std::atomic<uint32_t> timestamp_{0};
  std::atomic<uint32_t> ssrc_{0};
};

}  // namespace quillet::media
