// RtpStream: the sequence number, timestamp and SSRC that every sender of one RTP session
// shares (voice, comfort noise, telephone events, keep-alives), and the one way out.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace quillet::media {

class RtpStream {
 public:
  // The sequence number (its low 16 bits), timestamp and SSRC start at the tick.
  explicit RtpStream(uint32_t tick)
      : sequence_(static_cast<uint16_t>(tick)), timestamp_(tick), ssrc_(tick) {}
  virtual ~RtpStream() = default;

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
  uint32_t ssrc() const { return ssrc_; }

 private:
  // Senders on different threads stamp without a lock; atomics keep each step whole.
  std::atomic<uint16_t> sequence_;
  std::atomic<uint32_t> timestamp_;
  const uint32_t ssrc_;
};

}  // namespace quillet::media
