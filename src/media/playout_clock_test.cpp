// SPDX-License-Identifier: Apache-2.0
// Tests of the playout clock on a scripted clock: decoding into playback, gap fills,
// concealment, cross-fade, idle fill, the ahead clock, a quiet stream's jitter window and
// a new sender (the target's adaptation to jitter and to a stall is checked end to end in
// tests/latency).
#include "media/playout_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "codecs/g711.h"
#include "codecs/opus_codec.h"

namespace quillet::media {
namespace {

class ScriptedOutput : public PlayoutOutput {
 public:
  uint32_t nowMs() override { return now; }
  void sleepMs(uint32_t ms) override {
    slept += ms;
    now += ms;
  }
  void writeSamples(const int32_t* samples, size_t count) override {
    written.insert(written.end(), samples, samples + count);
  }
  uint32_t now = 50000;
  uint32_t slept = 0;
  std::vector<int32_t> written;
};

RtpSlot packet(uint8_t type, uint16_t seq, uint32_t ts, const std::vector<uint8_t>& payload,
               uint32_t ssrc = 7) {
  RtpSlot slot;
  writeRtpHeader(slot.data.data(), false, type, seq, ts, ssrc);
  std::copy(payload.begin(), payload.end(), slot.data.begin() + kRtpHeaderSize);
  slot.length = kRtpHeaderSize + payload.size();
  readRtpPacket(slot.data.data(), slot.length, slot.packet);
  return slot;
}

// A mu-law payload of a sine with the given period in samples.
std::vector<uint8_t> tone(int period, size_t count = 160, int start = 0) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) {
    double phase = 2 * M_PI * static_cast<double>(start + static_cast<int>(i)) / period;
    bytes[i] = codecs::muLawEncode(static_cast<int32_t>(8000 * 16 * std::sin(phase)));
  }
  return bytes;
}

class PlayoutTest : public ::testing::Test {
 protected:
  ScriptedOutput out;
  PlayoutClock clock{out, 1234};
  PlayoutTypes types{13, 97};
};

TEST_F(PlayoutTest, FirstVoiceAfterSilenceIsPaddedToTheTargetAndFadesIn) {
  EXPECT_TRUE(clock.silenceMode());
  auto payload = tone(40);
  clock.play(packet(0, 1, 1000, payload), false, types);
  // The clock starts 200 ms behind and restarts at 0; nothing is measured yet, so the
  // target is the guarded start: that much noise, then the packet, fading in over 40.
  const size_t pad = PlayoutClock::kStartTargetMs * 8;
  ASSERT_EQ(clock.targetMs(), PlayoutClock::kStartTargetMs);
  ASSERT_EQ(out.written.size(), pad + 160u);
  EXPECT_FALSE(clock.silenceMode());
  for (size_t i = 40; i < 160; ++i)
    EXPECT_EQ(out.written[pad + i], codecs::muLawDecode(payload[i]));
  for (size_t i = 0; i < pad; ++i) EXPECT_LT(std::abs(out.written[i]), 600) << i;
  for (size_t i = 0; i < 40; ++i) {
    EXPECT_LE(std::abs(out.written[pad + i]), std::abs(codecs::muLawDecode(payload[i])) + 600);
  }
  EXPECT_EQ(clock.expectedTimestamp(), 1160u);
  const int32_t ahead = PlayoutClock::kStartTargetMs + 20;
  EXPECT_EQ(clock.ahead(), ahead);
  // With that much queued, the idle fill only waits until the low mark remains.
  EXPECT_EQ(clock.idleFill(), ahead - PlayoutClock::kLowWaterMs);
  EXPECT_EQ(out.written.size(), pad + 160u);

  // In-sequence packets are written as they come, with no fill.
  clock.play(packet(0, 2, 1160, tone(40, 160, 160)), false, types);
  EXPECT_EQ(out.written.size(), pad + 320u);
}

// A quiet stream, comfort noise once a second, whose first packet came 70 ms before the
// line of all after it: that packet counts for ten seconds, not for the whole call, and a
// second measured is enough to leave the guarded start target.
TEST_F(PlayoutTest, QuietStreamLetsGoOfAnEarlyFirstPacketAndOfTheStartTarget) {
  const uint32_t start = out.now;
  clock.arrived(packet(13, 0, 0, {0x3F}), start);
  for (uint16_t s = 1; s <= 12; ++s) {
    clock.arrived(packet(13, s, 8000u * s, {0x3F}), start + 1000u * s + 70);
    if (s == 9) {
      EXPECT_EQ(clock.jitterMs(), 70);
    }
  }
  EXPECT_EQ(clock.jitterMs(), 0);
  EXPECT_EQ(clock.targetMs(), PlayoutClock::kMarginMs);
}

// The events of a key held for 400 ms keep the timestamp of its start while they come every
// 50 ms: they are not measured as jitter, which they would be read as (a stream falling
// further behind with each) if they counted like voice.
TEST_F(PlayoutTest, TelephoneEventsAreNotMeasuredAsJitter) {
  const PlayoutTypes withEvents{13, 97, 98, 101};
  PlayoutClock countingAll{out, 99};
  for (PlayoutClock* measured : {&clock, &countingAll}) {
    const uint32_t start = out.now;
    const PlayoutTypes types = measured == &clock ? withEvents : PlayoutTypes{};
    for (uint16_t s = 0; s < 20; ++s) {
      measured->arrived(packet(0, s, 160u * s, tone(40)), start + 20u * s, types);
    }
    for (uint16_t e = 0; e < 8; ++e) {
      measured->arrived(packet(101, static_cast<uint16_t>(20 + e), 3200, {1, 0x0A, 0, 0}),
                        start + 400 + 50u * e, types);
    }
  }
  EXPECT_EQ(clock.jitterMs(), 0);
  EXPECT_EQ(countingAll.jitterMs(), 250);
}

// Comfort noise, and a gap in the timestamps of packets in sequence, both end in silence:
// the next voice waits for the queue to drain to the low mark, then is padded to the target.
TEST_F(PlayoutTest, ComfortNoiseAndTimestampGapsEndInSilenceAndTheNextVoiceIsPadded) {
  clock.play(packet(0, 1, 0, tone(40)), false, types);
  clock.play(packet(13, 2, 160, {0x3F}), false, types);
  EXPECT_TRUE(clock.silenceMode());
  size_t before = out.written.size();
  out.now += 40;  // ahead now 40 ms
  clock.play(packet(0, 3, 320, tone(40)), false, types);
  EXPECT_EQ(out.slept, 30u);
  // Drained to 10 ms, then noise up to the target, then the voice.
  EXPECT_EQ(out.written.size() - before, (PlayoutClock::kStartTargetMs - 10u) * 8 + 160);
  EXPECT_FALSE(clock.silenceMode());

  out.now += PlayoutClock::kStartTargetMs + 40;  // ahead -20
  before = out.written.size();
  clock.play(packet(0, 4, 480 + 400, tone(40)), false, types);
  // A gap of 400 samples: 200 samples of noise (ahead 5), silence mode, then the packet
  // padded to the target.
  EXPECT_EQ(out.written.size() - before, 200u + (PlayoutClock::kStartTargetMs - 5) * 8 + 160);
}

TEST_F(PlayoutTest, EmptyG711PayloadEndsSilenceAndEventsAreIgnored) {
  clock.play(packet(101, 1, 0, {5, 0x0A, 0, 0}), false, types);
  EXPECT_TRUE(out.written.empty());
  EXPECT_TRUE(clock.silenceMode());
  clock.play(packet(8, 2, 0, {}), false, types);
  EXPECT_FALSE(clock.silenceMode());
  EXPECT_EQ(out.written.size(), PlayoutClock::kStartTargetMs * 8u);  // only the pad
  // GSM with less than a frame plays nothing; an unknown type plays nothing.
  size_t before = out.written.size();
  clock.play(packet(3, 3, 0, std::vector<uint8_t>(32, 0)), false, types);
  clock.play(packet(18, 4, 0, std::vector<uint8_t>(20, 0)), false, types);
  EXPECT_EQ(out.written.size(), before);
}

TEST_F(PlayoutTest, LatePacketGapIsConcealedByRepeatingThePitch) {
  for (int i = 0; i < 3; ++i) {
    clock.play(packet(0, static_cast<uint16_t>(i), 160u * i, tone(50, 160, 160 * i)), false, types);
    out.now += 20;
  }
  out.now += 150;  // ahead well below the gap fill limit
  size_t before = out.written.size();
  std::vector<int32_t> last(out.written.end() - 100, out.written.end());
  clock.play(packet(0, 5, 800, tone(50, 160, 800)), true, types);
  // 320 samples of concealment: the last pitch period (50 samples) again, fading from 1874/2000.
  ASSERT_GE(out.written.size() - before, 320u + 160u);
  for (int i = 0; i < 50; ++i) {
    int32_t expected =
        static_cast<int32_t>(static_cast<int64_t>(last[50 + i]) * (1875 - 1 - i) / 2000);
    EXPECT_EQ(out.written[before + i], expected) << i;
  }
  EXPECT_FALSE(clock.silenceMode());
  EXPECT_EQ(clock.concealedSamples(), 320u);
  // After a 40-sample cross-fade from the concealment the packet plays as it is.
  auto payload = tone(50, 160, 800);
  EXPECT_EQ(out.written[before + 320 + 40], codecs::muLawDecode(payload[40]));
}

// A peer that stops sending: each fill tops the queue up to a frame above the low mark,
// with concealment that moves the timestamps on, until silence; then noise keeps it a
// frame above the silence mark.
TEST_F(PlayoutTest, StalledPeerGetsConcealmentThenNoiseFills) {
  clock.play(packet(0, 1, 0, tone(45)), false, types);
  clock.play(packet(0, 2, 160, tone(45, 160, 160)), false, types);
  out.now += PlayoutClock::kStartTargetMs + 40 - 12;  // drained below the low mark
  const size_t start = out.written.size();
  const uint32_t expected = clock.expectedTimestamp();
  for (int fills = 0; !clock.silenceMode() && fills < 100;) {
    const size_t before = out.written.size();
    const int32_t wait = clock.idleFill();
    if (out.written.size() != before) {
      EXPECT_EQ(wait, PlayoutClock::kFrameMs);
      EXPECT_EQ(clock.ahead(), PlayoutClock::kLowWaterMs + PlayoutClock::kFrameMs);
      ++fills;
    }
    out.now += static_cast<uint32_t>(wait);
  }
  const size_t total = out.written.size() - start;
  EXPECT_TRUE(clock.silenceMode());
  EXPECT_GE(total, static_cast<size_t>(PlayoutClock::kConcealSamples));
  EXPECT_EQ(clock.expectedTimestamp() - expected, total);
  EXPECT_EQ(clock.concealedSamples(), total);
  out.now += 60;
  EXPECT_EQ(clock.idleFill(), PlayoutClock::kFrameMs);
  EXPECT_EQ(clock.ahead(), PlayoutClock::kSilenceLowMs + PlayoutClock::kFrameMs);
}

// A sender that never stops (no silence suppression): the start's guarded delay is more
// than the target once the jitter is known. It is taken out in the quiet between two words,
// not by cutting into the words, and well before the patience for voiced cuts runs out.
TEST_F(PlayoutTest, ContinuousStreamPaysItsDelayBackInTheQuietBetweenWords) {
  const std::vector<uint8_t> quiet(160, codecs::muLawEncode(40 * 16));
  uint32_t shrunkInWords = 0;
  for (uint16_t i = 0; i < 75; ++i) {
    const bool word = i < 50 || i >= 60;  // 1 s of voice, 200 ms of quiet, voice again
    const RtpSlot slot = packet(0, i, 160u * i, word ? tone(45, 160, 160 * i) : quiet);
    clock.arrived(slot, out.now);
    const uint32_t before = clock.shrunkSamples();
    clock.play(slot, false, types);
    if (word) shrunkInWords += clock.shrunkSamples() - before;
    out.now += 20;
  }
  EXPECT_EQ(shrunkInWords, 0u);
  EXPECT_GE(clock.shrunkSamples(),
            static_cast<uint32_t>(PlayoutClock::kStartTargetMs - clock.targetMs() - 10) * 8);
  EXPECT_LE(clock.delayMs(), clock.targetMs() + PlayoutClock::kShrinkAboveMs);
}

TEST_F(PlayoutTest, AheadClockRestartsAfterFallingBehind) {
  clock.play(packet(0, 1, 0, tone(45)), false, types);
  out.now += PlayoutClock::kStartTargetMs + 20 + 199;
  EXPECT_EQ(clock.ahead(), -199);
  out.now += 1;
  EXPECT_EQ(clock.ahead(), 0);
  EXPECT_EQ(clock.samplesWritten(), 0u);
  EXPECT_EQ(clock.gapWait(), -PlayoutClock::kLowWaterMs);
}

// A new sender's packets start a new timestamp line, so the switch adds no gap fill (and
// no delay).
TEST_F(PlayoutTest, NewSsrcRestartsTheTimestampLine) {
  clock.play(packet(0, 1, 1000, tone(45)), false, types);
  out.now += 40;  // room for a fill
  size_t before = out.written.size();
  clock.play(packet(0, 9, 900000, tone(45), 99), false, types);
  EXPECT_EQ(out.written.size() - before, 160u);
  EXPECT_EQ(clock.expectedTimestamp(), 900160u);
}

}  // namespace
}  // namespace quillet::media

namespace quillet::media {
namespace {

// An Opus stream at 16000 Hz on its 48000 Hz clock, under either of its payload types: a lost
// packet is rebuilt from the next one's redundancy (not a gap of silence), and the clock
// runs on across the timestamp's wrap.
TEST(PlayoutOpus, ALostPacketComesBackFromTheNextOnesRedundancy) {
  codecs::OpusSettings settings;
  settings.sampleRate = 16000;
  settings.expectedLossPercent = 30;
  auto encoder = codecs::OpusCodec::create(settings);
  ASSERT_NE(encoder, nullptr);
  std::vector<std::vector<uint8_t>> packets;
  std::vector<int32_t> frame(320);
  for (int k = 0; k < 12; ++k) {
    for (size_t i = 0; i < frame.size(); ++i) {
      const double t = static_cast<double>(k * 320 + static_cast<int>(i)) / 16000;
      frame[i] = static_cast<int32_t>(100000 * std::sin(2 * M_PI * 440 * t));
    }
    std::vector<uint8_t> bytes(codecs::kOpusMaxPacketBytes);
    const int n = encoder->encode(frame.data(), 320, bytes.data());
    ASSERT_GT(n, 0);
    bytes.resize(static_cast<size_t>(n));
    packets.push_back(bytes);
  }
  ScriptedOutput out;
  PlayoutClock clock(out, 99, 16000);
  PlayoutTypes types;
  types.wide = 107;
  types.wideOffered = 111;
  types.wideCodec = codecs::CodecId::kOpus;
  for (int k = 0; k < 12; ++k) {
    if (k == 8) continue;  // lost
    clock.play(packet(k % 2 == 0 ? 107 : 111, static_cast<uint16_t>(k), 4294960000u + 960u * k,
                      packets[static_cast<size_t>(k)]),
               k == 9, types);
    out.now += 20;
  }
  EXPECT_EQ(clock.concealedSamples(), 320u);
  // Twelve frames on, across the wrap of the RTP timestamp, in 16000 Hz samples.
  EXPECT_EQ(clock.expectedTimestamp(), 4294960000u / 3 + 12 * 320);
  // The rebuilt frame carries the tone at about its level.
  const size_t end = out.written.size() - 3 * 320;
  double power = 0;
  for (size_t i = end - 320; i < end; ++i) power += std::pow(out.written[i] / 100000.0, 2);
  EXPECT_GT(power / 320, 0.2);
}

}  // namespace
}  // namespace quillet::media
