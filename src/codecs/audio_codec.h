// SPDX-License-Identifier: Apache-2.0
// The codec interface of the media path: the table of codecs (payload type, rtpmap
// name, frame size) and AudioCodec, one codec's encoder and decoder state behind
// reset, encode and decode on the internal sample format (16-bit value x 16).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace quillet::codecs {

constexpr int kSampleRate = 8000;
constexpr int kFrameSamples = 160;  // 20 ms, for every codec
constexpr int32_t kSampleMin = -524288;
constexpr int32_t kSampleMax = 524272;

// Two rows for G.726-32: one codec, two orders of the codes in a byte (see G726Packing).
enum class CodecId { kPcmu, kPcma, kGsm, kG726_32, kG726_32Aal2 };

struct CodecInfo {
  CodecId id;
  const char* name;    // short name as quillet-tool takes it: "pcmu", "gsm", ...
  const char* rtpmap;  // "PCMU/8000", ...
  int payloadType;     // static payload type; G.726-32 is negotiated (offered as 96 and 97)
  int bytesPerFrame;   // payload bytes per 160 samples
};

constexpr int kG726OfferedPayloadType = 96;      // "G726-32"
constexpr int kG726Aal2OfferedPayloadType = 97;  // "AAL2-G726-32"
constexpr int kG726FallbackPayloadType = 2;      // when the peer maps no G726-32

const CodecInfo& codecInfo(CodecId id);
// The codec of a short name ("pcmu", "pcma", "g726-32", "aal2-g726-32", "gsm"), exact
// match.
std::optional<CodecId> codecByName(std::string_view name);
// The codec of an RTP payload type: 0 mu-law, 8 A-law, 3 GSM, and the negotiated types
// of the two G.726-32 packings (pass -1 for one not negotiated). Any other type has no
// codec.
std::optional<CodecId> codecForPayloadType(int payloadType, int g726PayloadType,
                                           int g726Aal2PayloadType);

// One codec's state for one direction of one call (an encoder and a decoder state
// both live here; a caller uses the one it needs).
class AudioCodec {
 public:
  virtual ~AudioCodec() = default;

  virtual CodecId id() const = 0;
  // Clears the states to their starting values.
  virtual void reset() = 0;
  // Encodes count samples into out and answers the bytes written: one byte per sample
  // (G.711), one per two samples (G.726-32, an odd last sample paired with a zero), one
  // 33-byte frame per 160 samples (GSM, a partial last frame padded with zeros). out
  // must hold maxEncodedBytes(count) bytes. A count <= 0 writes nothing.
  virtual int encode(const int32_t* samples, int count, uint8_t* out) = 0;
  // Decodes length bytes into out and answers the samples written: one per byte
  // (G.711), two per byte (G.726-32), 160 per whole 33-byte frame (GSM; a partial
  // frame is ignored). out must hold maxDecodedSamples(length) samples.
  virtual int decode(const uint8_t* bytes, int length, int32_t* out) = 0;

  int maxEncodedBytes(int count) const;
  int maxDecodedSamples(int length) const;
};

std::unique_ptr<AudioCodec> createAudioCodec(CodecId id);

}  // namespace quillet::codecs
