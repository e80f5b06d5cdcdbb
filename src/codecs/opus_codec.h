// SPDX-License-Identifier: Apache-2.0
// Opus behind AudioCodec (libopus): mono, one packet per encode and decode call, in-band
// FEC and the decoder's concealment for lost packets.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "codecs/audio_codec.h"

struct OpusEncoder;
struct OpusDecoder;

namespace quillet::codecs {

constexpr int kOpusMaxPacketBytes = 1275;  // the largest packet of one frame
constexpr int kOpusMaxDecodeBytes = 1500;  // longer payloads are refused unread
constexpr int kOpusMaxPacketMs = 120;      // the longest packet a decoder must take
constexpr int kOpusDefaultBitRate = 32000;

struct OpusSettings {
  int sampleRate = 48000;             // 8000, 12000, 16000, 24000 or 48000
  int bitRate = kOpusDefaultBitRate;  // 6000 .. 510000 bit/s
  int frameMs = 20;                   // 10 or 20
  bool inbandFec = true;              // redundancy of the previous frame in each packet
  int expectedLossPercent = 10;       // the encoder adds FEC data only when it expects loss
  bool dtx = false;                   // fewer packets in silence
  int maxAudioRate = 48000;           // the widest band to code: 8000 .. 48000 (a receiver's limit)
};

// The reason settings are refused, or empty when they are usable.
std::string checkOpusSettings(const OpusSettings& settings);

class OpusCodec final : public AudioCodec {
 public:
  // nullptr when the settings are refused (checkOpusSettings) or libopus fails.
  static std::unique_ptr<OpusCodec> create(const OpusSettings& settings);
  ~OpusCodec() override;
  OpusCodec(const OpusCodec&) = delete;
  OpusCodec& operator=(const OpusCodec&) = delete;

  CodecId id() const override { return CodecId::kOpus; }
  void reset() override;
  int encode(const int32_t* samples, int count, uint8_t* out) override;
  int decode(const uint8_t* bytes, int length, int32_t* out) override;
  int decodeLost(const uint8_t* next, int nextLength, int32_t* out) override;
  int maxEncodedBytes(int count) const override;
  int maxDecodedSamples(int length) const override;
  int maxConcealedSamples() const override { return maxDecodedSamples(1); }

  // Changes the encoder's bit rate (6000 .. 510000); false leaves it as it was.
  bool setBitRate(int bitRate);
  const OpusSettings& settings() const { return settings_; }
  int frameSamples() const { return settings_.sampleRate / 1000 * settings_.frameMs; }

 private:
  explicit OpusCodec(const OpusSettings& settings);
  bool open();
  void applyEncoderSettings();

  OpusSettings settings_;
  OpusEncoder* encoder_ = nullptr;
  OpusDecoder* decoder_ = nullptr;
  int lastDecodedSamples_ = 0;  // the length of the last packet, for a lost one
  std::vector<float> pcm_;      // room for the longest packet, so that no call allocates
};

}  // namespace quillet::codecs
