// SPDX-License-Identifier: Apache-2.0
// DtmfSender: RFC 2833 event timing and in-band DTMF tones.
#include "media/dtmf_sender.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "audio/wave_file.h"
#include "codecs/opus_codec.h"
#include "media/rtp_packet.h"
#include "media/voice_codec.h"
#include "platform/tick.h"

namespace quillet::media {

namespace {

constexpr uint8_t kEventVolume = 10;
constexpr uint32_t kDigitMs = 200;
constexpr uint32_t kDigitTimestamp = 1600;

}  // namespace

std::vector<int32_t> inBandKeySamples(char key) {
  // 1000 samples (125 ms) of the key's tone between short silences; a key without a tone is
  // all silence.
  std::vector<int32_t> samples(1280, 0);
  audio::GenerateKeyTone(key, samples.data() + 100, 1000, 8000);
  return samples;
}

static std::vector<int32_t> inBandKeySamplesWide(char key) {
  // The 8000 Hz frame's layout at 16000 Hz.
  std::vector<int32_t> samples(2560, 0);
  audio::GenerateKeyTone(key, samples.data() + 200, 2000, 16000);
  return samples;
}

DtmfSender::DtmfSender(RtpStream& stream) : stream_(stream) {}

DtmfSender::~DtmfSender() {
  Stop();
}

void DtmfSender::sendDigits(std::string_view digits) {
  size_t write = write_.load();
  for (char digit : digits) {
    size_t next = (write + 1) % kQueueSize;
    // A full queue drops the rest: the write index must never overtake the read index.
    if (next == read_.load()) break;
    queue_[write] = digit;
    write = next;
    write_.store(write);
  }
  queueEvent_.set();
}

void DtmfSender::setPayloadTypes(uint8_t telephoneEvent, uint8_t voice, uint8_t g726,
                                 uint8_t g726Aal2) {
  telephoneEvent_ = telephoneEvent;
  voice_ = voice;
  g726_ = g726;
  g726Aal2_ = g726Aal2;
}

void DtmfSender::clearQueue() {
  read_.store(write_.load());
}

bool DtmfSender::waitUntil(uint32_t start, uint32_t ms) {
  int32_t left = static_cast<int32_t>(ms) - platform::tickDiff(platform::tickMs(), start);
  if (left <= 0) return !stopRequested();
  return !stopEvent().wait(left);
}

void DtmfSender::Run() {
  while (true) {
    if (stopRequested()) return;
    queueEvent_.reset();
    while (read_.load() != write_.load()) {
      char digit = queue_[read_.load()];
      busy_ = true;
      uint32_t t0 = stream_.timestamp();
      if (telephoneEvent_ == 255) {
        sendInBand(digit, t0);
      } else {
        size_t code = kEventTable.find(digit);
        if (code == std::string_view::npos) {
          waitUntil(platform::tickMs(), kDigitMs);
        } else {
          sendEvent(static_cast<uint8_t>(code), t0);
        }
      }
      // No voice ran meanwhile: keep the timestamp moving by the digit's 200 ms.
      stream_.advanceTimestampIf(t0, kDigitTimestamp * clockPerMs_ / 8);
      read_.store((read_.load() + 1) % kQueueSize);
      if (stopRequested()) return;
    }
    if (listener_) listener_();
    busy_ = false;
    if (base::WaitForEventOrStop(*this, queueEvent_, 3600000) == base::WaitResult::StopRequested) {
      return;
    }
  }
}

void DtmfSender::sendInBandWide(char key, uint32_t t0, codecs::CodecId id) {
  const std::vector<int32_t> samples = inBandKeySamplesWide(key);
  std::unique_ptr<codecs::AudioCodec> codec;  // a fresh encoder state per key
  if (id == codecs::CodecId::kOpus) {
    codecs::OpusSettings settings;
    settings.sampleRate = 16000;
    settings.maxAudioRate = 16000;
    codec = codecs::OpusCodec::create(settings);
  } else {
    codec = codecs::createAudioCodec(id);
  }
  constexpr int kWideFrame = 320;  // 20 ms at 16000 Hz
  const uint32_t step = 20 * clockPerMs_;
  const uint8_t type = voice_;
  std::vector<uint8_t> packet(kRtpHeaderSize +
                              static_cast<size_t>(codec ? codec->maxEncodedBytes(kWideFrame) : 0));
  for (size_t k = 0; codec && k < samples.size() / kWideFrame; ++k) {
    const int payload =
        codec->encode(samples.data() + k * kWideFrame, kWideFrame, packet.data() + kRtpHeaderSize);
    writeRtpHeader(packet.data(), k == 0, type, stream_.takeSequence(),
                   t0 + static_cast<uint32_t>(k) * step, stream_.ssrc());
    stream_.sendPacket(packet.data(), kRtpHeaderSize + static_cast<size_t>(std::max(payload, 0)));
  }
  waitUntil(platform::tickMs(), kDigitMs);
}

void DtmfSender::sendEvent(uint8_t code, uint32_t t0) {
  struct Step {
    uint32_t atMs;
    bool newSequence;
    bool end;
    uint16_t duration;
  };
  // Start, two updates (the second a copy) and three copies of the end.
  static constexpr Step kSteps[] = {{0, true, false, 0},      {35, true, false, 800},
                                    {70, false, false, 800},  {100, true, true, 1600},
                                    {135, false, true, 1600}, {170, false, true, 1600}};
  uint32_t start = platform::tickMs();
  uint8_t type = telephoneEvent_;
  const uint32_t scale = clockPerMs_;  // durations below are at 8 units a ms
  uint16_t sequence = 0;
  bool first = true;
  for (const Step& step : kSteps) {
    if (!waitUntil(start, step.atMs)) return;
    if (step.newSequence) sequence = stream_.takeSequence();
    uint8_t packet[kRtpHeaderSize + 4];
    writeRtpHeader(packet, first, type, sequence, t0, stream_.ssrc());
    packet[12] = code;
    packet[13] = static_cast<uint8_t>((step.end ? 0x80 : 0) | kEventVolume);
    const auto duration = static_cast<uint16_t>(step.duration * scale / 8);
    packet[14] = static_cast<uint8_t>(duration >> 8);
    packet[15] = static_cast<uint8_t>(duration);
    stream_.sendPacket(packet, sizeof(packet));
    first = false;
  }
  waitUntil(start, kDigitMs);
}

void DtmfSender::sendInBand(char key, uint32_t t0) {
  const int wide = wideCodec_.load();
  if (wide >= 0) {
    sendInBandWide(key, t0, static_cast<codecs::CodecId>(wide));
    return;
  }
  std::vector<int32_t> samples = inBandKeySamples(key);
  VoiceCodec codec;  // a fresh encoder state per key
  codec.reset();
  uint8_t type = voice_;
  for (size_t k = 0; k < 8; ++k) {
    uint8_t packet[kRtpHeaderSize + kMaxFrameBytes];
    size_t payload = 0;
    if (type != g726_ && type != g726Aal2_) {
      payload = codec.encodeFrame(type, g726_, g726Aal2_, samples.data() + k * kFrameSamples,
                                  packet + kRtpHeaderSize);
    }
    writeRtpHeader(packet, k == 0, type, stream_.takeSequence(),
                   t0 + static_cast<uint32_t>(k * kFrameSamples), stream_.ssrc());
    stream_.sendPacket(packet, kRtpHeaderSize + payload);
  }
  waitUntil(platform::tickMs(), kDigitMs);
}

}  // namespace quillet::media
