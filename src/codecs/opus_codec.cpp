// SPDX-License-Identifier: Apache-2.0
// OpusCodec over libopus's float interface: the internal sample format is scaled to
// [-1, 1) on the way in and back on the way out.
#include "codecs/opus_codec.h"

#include <opus/opus.h>

#include <algorithm>
#include <cmath>

namespace quillet::codecs {

namespace {

constexpr float kScale = 524288.0f;  // internal full scale

bool validRate(int rate) {
  return rate == 8000 || rate == 12000 || rate == 16000 || rate == 24000 || rate == 48000;
}

int32_t toInternal(float v) {
  const long s = std::lround(v * kScale);
  return static_cast<int32_t>(std::clamp<long>(s, kSampleMin, kSampleMax));
}

// The widest Opus band whose audio a receiver at this rate still plays.
int bandwidthFor(int audioRate) {
  if (audioRate >= 48000) return OPUS_BANDWIDTH_FULLBAND;
  if (audioRate >= 24000) return OPUS_BANDWIDTH_SUPERWIDEBAND;
  if (audioRate >= 16000) return OPUS_BANDWIDTH_WIDEBAND;
  if (audioRate >= 12000) return OPUS_BANDWIDTH_MEDIUMBAND;
  return OPUS_BANDWIDTH_NARROWBAND;
}

}  // namespace

std::string checkOpusSettings(const OpusSettings& s) {
  if (!validRate(s.sampleRate)) {
    return "sample rate " + std::to_string(s.sampleRate) +
           " is not one of 8000, 12000, 16000, 24000, 48000";
  }
  if (s.bitRate < 6000 || s.bitRate > 510000) {
    return "bit rate " + std::to_string(s.bitRate) + " is outside 6000 .. 510000";
  }
  if (s.frameMs != 10 && s.frameMs != 20) {
    return "frame length " + std::to_string(s.frameMs) + " ms is not 10 or 20";
  }
  if (s.maxAudioRate < 8000 || s.maxAudioRate > 48000) {
    return "audio band limit " + std::to_string(s.maxAudioRate) + " Hz is outside 8000 .. 48000";
  }
  if (s.expectedLossPercent < 0 || s.expectedLossPercent > 100) {
    return "expected loss " + std::to_string(s.expectedLossPercent) + "% is outside 0 .. 100";
  }
  return {};
}

std::unique_ptr<OpusCodec> OpusCodec::create(const OpusSettings& settings) {
  if (!checkOpusSettings(settings).empty()) return nullptr;
  std::unique_ptr<OpusCodec> codec(new OpusCodec(settings));
  if (!codec->open()) return nullptr;
  return codec;
}

OpusCodec::OpusCodec(const OpusSettings& settings) : settings_(settings) {}

OpusCodec::~OpusCodec() {
  opus_encoder_destroy(encoder_);
  opus_decoder_destroy(decoder_);
}

bool OpusCodec::open() {
  int error = OPUS_OK;
  encoder_ = opus_encoder_create(settings_.sampleRate, 1, OPUS_APPLICATION_VOIP, &error);
  if (error != OPUS_OK || encoder_ == nullptr) return false;
  decoder_ = opus_decoder_create(settings_.sampleRate, 1, &error);
  if (error != OPUS_OK || decoder_ == nullptr) return false;
  applyEncoderSettings();
  pcm_.resize(settings_.sampleRate / 1000 * kOpusMaxPacketMs);
  return true;
}

void OpusCodec::applyEncoderSettings() {
  opus_encoder_ctl(encoder_, OPUS_SET_BITRATE(settings_.bitRate));
  opus_encoder_ctl(encoder_, OPUS_SET_INBAND_FEC(settings_.inbandFec ? 1 : 0));
  opus_encoder_ctl(encoder_, OPUS_SET_PACKET_LOSS_PERC(settings_.expectedLossPercent));
  opus_encoder_ctl(encoder_, OPUS_SET_DTX(settings_.dtx ? 1 : 0));
  opus_encoder_ctl(encoder_, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
  opus_encoder_ctl(encoder_, OPUS_SET_MAX_BANDWIDTH(bandwidthFor(settings_.maxAudioRate)));
}

void OpusCodec::reset() {
  opus_encoder_ctl(encoder_, OPUS_RESET_STATE);
  opus_decoder_ctl(decoder_, OPUS_RESET_STATE);
  lastDecodedSamples_ = 0;
}

bool OpusCodec::setBitRate(int bitRate) {
  OpusSettings next = settings_;
  next.bitRate = bitRate;
  if (!checkOpusSettings(next).empty()) return false;
  if (opus_encoder_ctl(encoder_, OPUS_SET_BITRATE(bitRate)) != OPUS_OK) return false;
  settings_ = next;
  return true;
}

int OpusCodec::encode(const int32_t* samples, int count, uint8_t* out) {
  const int frame = frameSamples();
  if (count <= 0) return 0;
  if (count > frame) return -1;
  for (int i = 0; i < count; ++i) pcm_[i] = static_cast<float>(samples[i]) / kScale;
  std::fill(pcm_.begin() + count, pcm_.begin() + frame, 0.0f);
  const opus_int32 bytes =
      opus_encode_float(encoder_, pcm_.data(), frame, out, kOpusMaxPacketBytes);
  return bytes < 0 ? -1 : static_cast<int>(bytes);
}

int OpusCodec::decode(const uint8_t* bytes, int length, int32_t* out) {
  // libopus takes an empty payload for a lost packet: here it is refused, and
  // decodeLost says so explicitly.
  if (bytes == nullptr || length <= 0 || length > kOpusMaxDecodeBytes) return -1;
  const int most = static_cast<int>(pcm_.size());
  const int got = opus_decode_float(decoder_, bytes, length, pcm_.data(), most, 0);
  if (got < 0) return -1;
  std::transform(pcm_.begin(), pcm_.begin() + got, out, toInternal);
  lastDecodedSamples_ = got;
  return got;
}

int OpusCodec::decodeLost(const uint8_t* next, int nextLength, int32_t* out) {
  // A lost packet is as long as the one before it (or one frame when none was seen).
  const int samples = lastDecodedSamples_ > 0 ? lastDecodedSamples_ : frameSamples();
  int got = -1;
  if (next != nullptr && nextLength > 0 && nextLength <= kOpusMaxDecodeBytes) {
    // The next packet's FEC data stands for the end of the lost one; libopus conceals
    // what it does not cover (all of it when the packet carries none). A damaged next
    // packet fails here and is left to plain concealment.
    got = opus_decode_float(decoder_, next, nextLength, pcm_.data(), samples, 1);
  }
  if (got < 0) got = opus_decode_float(decoder_, nullptr, 0, pcm_.data(), samples, 0);
  if (got < 0) return 0;
  std::transform(pcm_.begin(), pcm_.begin() + got, out, toInternal);
  return got;
}

int OpusCodec::maxEncodedBytes(int count) const {
  return count <= 0 ? 0 : kOpusMaxPacketBytes;
}

int OpusCodec::maxDecodedSamples(int length) const {
  return length <= 0 ? 0 : settings_.sampleRate / 1000 * kOpusMaxPacketMs;
}

}  // namespace quillet::codecs
