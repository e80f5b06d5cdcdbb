// SPDX-License-Identifier: Apache-2.0
// VoiceCodec: the codec state of one direction of a call, chosen per packet by payload
// type (0 mu-law, 8 A-law, 3 GSM 06.10, the negotiated types of the two G.726-32 payload
// formats).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace quillet::media {

constexpr uint8_t kPayloadPcmu = 0;
constexpr uint8_t kPayloadGsm = 3;
constexpr uint8_t kPayloadPcma = 8;
constexpr uint8_t kPayloadCn = 13;
constexpr size_t kFrameSamples = 160;  // 20 ms at 8000 Hz, every codec
constexpr size_t kGsmFrameBytes = 33;
constexpr size_t kMaxFrameBytes = 160;  // largest encoded frame (G.711)

// Appends `count` samples at `from` Hz to `out` at `to` Hz (linear interpolation within the
// block): for the rare stream whose codec changed its rate after the stream was made.
void convertRate(const int32_t* samples, size_t count, uint32_t from, uint32_t to,
                 std::vector<int32_t>& out);

class VoiceCodec {
 public:
  VoiceCodec();
  ~VoiceCodec();
  VoiceCodec(const VoiceCodec&) = delete;
  VoiceCodec& operator=(const VoiceCodec&) = delete;

  // Clears the GSM and G.726-32 states.
  void reset();

  // Encodes one 160-sample frame; answers the payload size (160, 80 or 33), or 0 when
  // the payload type has no codec. g726Type and g726Aal2Type are the negotiated types of
  // "G726-32" and "AAL2-G726-32" (255 = none).
  size_t encodeFrame(uint8_t payloadType, uint8_t g726Type, uint8_t g726Aal2Type,
                     const int32_t* samples, uint8_t* out);

  // Decoders of the receive side. G.711: one sample per byte. GSM: one 33-byte frame to
  // 160 samples. G.726-32: two samples per byte, the earlier one in the low four bits
  // ("G726-32") or, with aal2, in the high four bits ("AAL2-G726-32").
  void decodeG711(uint8_t payloadType, const uint8_t* bytes, size_t length, int32_t* out);
  void decodeGsm(const uint8_t* frame, int32_t* out);
  void decodeG726(bool aal2, const uint8_t* bytes, size_t length, int32_t* out);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace quillet::media
