// SPDX-License-Identifier: Apache-2.0
// The codec interface of the media path: the table of codecs (payload type, rtpmap
// name, rates, frame size) and AudioCodec, one codec's encoder and decoder state behind
// reset, encode and decode on the internal sample format (16-bit value x 16).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace quillet::codecs {

// The narrowband codecs of calls (G.711, G.726-32, GSM): 8000 Hz, 160 samples a frame.
// The wideband ones state their own rates in their CodecInfo.
constexpr int kSampleRate = 8000;
constexpr int kFrameSamples = 160;  // 20 ms at 8000 Hz
constexpr int32_t kSampleMin = -524288;
constexpr int32_t kSampleMax = 524272;

// Two rows for G.726-32: one codec, two orders of the codes in a byte (see G726Packing).
enum class CodecId { kPcmu, kPcma, kGsm, kG726_32, kG726_32Aal2, kG722, kOpus };

struct CodecInfo {
  CodecId id;
  const char* name;    // short name as quillet-tool takes it: "pcmu", "gsm", ...
  const char* rtpmap;  // "PCMU/8000", ...
  int payloadType;     // static payload type; G.726-32 and Opus are negotiated
  int bytesPerFrame;   // payload bytes per 20 ms frame; 0 when it varies (Opus)
  int sampleRate;      // audio samples per second the codec takes and gives
  int rtpClockRate;    // RTP timestamp units per second (G.722: 8000 for 16000 Hz audio)
  int frameSamples;    // audio samples per 20 ms frame
};

constexpr int kG726OfferedPayloadType = 96;      // "G726-32"
constexpr int kG726Aal2OfferedPayloadType = 97;  // "AAL2-G726-32"
constexpr int kG726FallbackPayloadType = 2;      // when the peer maps no G726-32
constexpr int kOpusOfferedPayloadType = 111;     // "opus/48000/2"

const CodecInfo& codecInfo(CodecId id);
// The codec of a short name ("pcmu", "pcma", "g726-32", "aal2-g726-32", "gsm", "g722",
// "opus"), exact match.
std::optional<CodecId> codecByName(std::string_view name);
// The narrowband codec of an RTP payload type, as calls choose it today: 0 mu-law,
// 8 A-law, 3 GSM, and the negotiated types of the two G.726-32 packings (pass -1 for one
// not negotiated). Any other type, G.722's 9 among them, has no codec here.
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
  // (G.711), one per two samples (G.726-32 and G.722, an odd last sample paired with a
  // zero), one 33-byte frame per 160 samples (GSM, a partial last frame padded with
  // zeros), one packet of at most one frame (Opus, a short count padded with zeros; more
  // than a frame answers -1). out must hold maxEncodedBytes(count) bytes. A count <= 0
  // writes nothing.
  virtual int encode(const int32_t* samples, int count, uint8_t* out) = 0;
  // Decodes length bytes into out and answers the samples written: one per byte
  // (G.711), two per byte (G.726-32, G.722), 160 per whole 33-byte frame (GSM; a
  // partial frame is ignored), one whole packet (Opus; -1 for a packet it refuses,
  // empty ones included). out must hold maxDecodedSamples(length) samples.
  virtual int decode(const uint8_t* bytes, int length, int32_t* out) = 0;
  // Audio in place of one lost packet: from the redundancy carried in next (the packet
  // that followed it, nullptr when there is none) where the codec has such data, or
  // else the codec's own concealment. Answers the samples written, or 0 for a codec
  // without concealment (the caller fills the gap itself). out must hold
  // maxConcealedSamples() samples.
  virtual int decodeLost(const uint8_t* next, int nextLength, int32_t* out);

  virtual int maxEncodedBytes(int count) const;
  virtual int maxDecodedSamples(int length) const;
  virtual int maxConcealedSamples() const { return 0; }
};

std::unique_ptr<AudioCodec> createAudioCodec(CodecId id);

}  // namespace quillet::codecs
