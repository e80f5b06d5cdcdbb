// SPDX-License-Identifier: Apache-2.0
// DtmfSender: the thread that sends queued key presses of a call, as RFC 2833 telephone
// events when the peer accepted them, otherwise as in-band tones in the voice codec.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "base/worker_thread.h"
#include "codecs/audio_codec.h"
#include "media/rtp_stream.h"

namespace quillet::media {

// The characters of RFC 2833 events: a character's position is its event code.
constexpr std::string_view kEventTable = "0123456789*#ABCD!";

// The 160 ms in-band frame of a key: 12.5 ms silence, 125 ms of the key's two tones,
// 22.5 ms silence (1280 samples; silence for a key without tones).
std::vector<int32_t> inBandKeySamples(char key);

class DtmfSender : public base::WorkerThread {
 public:
  static constexpr size_t kQueueSize = 260;  // holds at most 259 digits

  explicit DtmfSender(RtpStream& stream);
  ~DtmfSender() override;

  // Queues the digits; digits that do not fit in the queue are dropped. Never blocks.
  void sendDigits(std::string_view digits);

  // Set by the session before each start.
  void setPayloadTypes(uint8_t telephoneEvent, uint8_t voice, uint8_t g726, uint8_t g726Aal2);
  void clearQueue();
  // RTP timestamp units per ms of the call's codec (8; 48 for Opus). Set with the types.
  void setClockPerMs(uint32_t units) { clockPerMs_ = units; }
  // The call's codec when it is G.722 or Opus (in-band keys are then coded at 16000 Hz);
  // -1 for a narrowband one.
  void setWideCodec(int codec) { wideCodec_ = codec; }
  // Digits waiting to be sent.
  size_t queued() const { return (write_.load() + kQueueSize - read_.load()) % kQueueSize; }
  // Called on the sender's thread each time the queue has run empty.
  void setListener(std::function<void()> listener) { listener_ = std::move(listener); }

  // True while digits are being sent; voice is held back meanwhile.
  bool busy() const { return busy_.load(); }
  void clearBusy() { busy_ = false; }
  uint8_t telephoneEventType() const { return telephoneEvent_; }

 protected:
  void Run() override;

 private:
  // Waits until `ms` after `start` (tick), or the stop event. False when stopping.
  bool waitUntil(uint32_t start, uint32_t ms);
  void sendEvent(uint8_t code, uint32_t t0);
  void sendInBand(char key, uint32_t t0);
  void sendInBandWide(char key, uint32_t t0, codecs::CodecId id);

  RtpStream& stream_;
  std::function<void()> listener_;
  std::atomic<uint8_t> telephoneEvent_{255};
  std::atomic<uint8_t> voice_{255};
  std::atomic<uint32_t> clockPerMs_{8};
  std::atomic<int> wideCodec_{-1};
  std::atomic<uint8_t> g726_{255};
  std::atomic<uint8_t> g726Aal2_{255};
  std::array<char, kQueueSize> queue_{};
  std::atomic<size_t> read_{0};
  std::atomic<size_t> write_{0};
  platform::Event queueEvent_{platform::Event::Reset::Manual};
  std::atomic<bool> busy_{false};
};

}  // namespace quillet::media
