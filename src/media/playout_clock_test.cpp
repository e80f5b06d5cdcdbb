// Tests of the playout clock: decoding into playback, gap fills, concealment, cross-fade,
// idle fill and the ahead clock, on a scripted clock.
#include "media/playout_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "codecs/g711.h"

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

TEST_F(PlayoutTest, ComfortNoiseSetsSilenceAndNextVoiceWaitsThenPads) {
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

TEST_F(PlayoutTest, TimestampGapInSequenceIsFilledWithHalfAsMuchNoise) {
  clock.play(packet(0, 1, 0, tone(40)), false, types);
  out.now += 100;  // ahead -20
  size_t before = out.written.size();
  clock.play(packet(0, 2, 160 + 400, tone(40)), false, types);
  // A gap of 400 samples: 200 samples of noise (ahead 5), silence mode, then the packet
  // padded to the target.
  EXPECT_EQ(out.written.size() - before, 200u + (PlayoutClock::kStartTargetMs - 5) * 8 + 160);
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
  EXPECT_EQ(clock.pitch(), 50);
  // 320 samples of concealment: the last pitch period again, fading from 1874/2000.
  ASSERT_GE(out.written.size() - before, 320u + 160u);
  for (int i = 0; i < 50; ++i) {
    int32_t expected =
        static_cast<int32_t>(static_cast<int64_t>(last[50 + i]) * (1875 - 1 - i) / 2000);
    EXPECT_EQ(out.written[before + i], expected) << i;
  }
  EXPECT_FALSE(clock.silenceMode());
  EXPECT_EQ(clock.concealmentCount(), 0);  // ended by the cross-fade into the new packet
  // After a 40-sample cross-fade from the concealment the packet plays as it is.
  auto payload = tone(50, 160, 800);
  EXPECT_EQ(out.written[before + 320 + 40], codecs::muLawDecode(payload[40]));
}

TEST_F(PlayoutTest, StalledPeerGetsConcealmentThenNoiseFills) {
  clock.play(packet(0, 1, 0, tone(45)), false, types);
  clock.play(packet(0, 2, 160, tone(45, 160, 160)), false, types);
  // Let the written audio drain below the low mark.
  out.now += PlayoutClock::kStartTargetMs + 40 - 12;
  size_t total = 0;
  int fills = 0;
  uint32_t expected = clock.expectedTimestamp();
  while (!clock.silenceMode() && fills < 100) {
    int32_t ahead = clock.ahead();
    size_t before = out.written.size();
    int32_t wait = clock.idleFill();
    if (out.written.size() != before) {
      EXPECT_EQ(wait, PlayoutClock::kFrameMs);
      EXPECT_EQ(
          out.written.size() - before,
          static_cast<size_t>(PlayoutClock::kLowWaterMs + PlayoutClock::kFrameMs - ahead) * 8);
      total += out.written.size() - before;
      ++fills;
    }
    out.now += static_cast<uint32_t>(wait);
  }
  EXPECT_TRUE(clock.silenceMode());
  EXPECT_GE(total, static_cast<size_t>(PlayoutClock::kConcealSamples));
  EXPECT_EQ(clock.expectedTimestamp() - expected, total);
  EXPECT_EQ(clock.concealedSamples(), total);
  // Now noise up to a frame above the silence mark, and 4 more samples counted as written.
  out.now += 60;
  int32_t ahead = clock.ahead();
  uint32_t written = clock.samplesWritten();
  size_t before = out.written.size();
  const int32_t top = PlayoutClock::kSilenceLowMs + PlayoutClock::kFrameMs;
  EXPECT_EQ(clock.idleFill(), PlayoutClock::kFrameMs);
  EXPECT_EQ(out.written.size() - before, static_cast<size_t>(top - ahead) * 8);
  EXPECT_EQ(clock.samplesWritten() - written, static_cast<uint32_t>(top - ahead) * 8 + 4);
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

TEST_F(PlayoutTest, NewSsrcRestartsTheTimestampLine) {
  clock.play(packet(0, 1, 1000, tone(45)), false, types);
  size_t before = out.written.size();
  clock.play(packet(0, 9, 900000, tone(45), 99), false, types);
  EXPECT_EQ(out.written.size() - before, 160u);
  EXPECT_EQ(clock.expectedTimestamp(), 900160u);
}

}  // namespace
}  // namespace quillet::media

namespace quillet::media {
namespace {

// A call's receive side on a scripted clock: packets sent every 20 ms arrive when the
// script says, go through the reorder buffer and play as the receive thread plays them.
class ScriptedCall {
 public:
  static constexpr uint32_t kStart = 50000;
  static constexpr int kPeriod = 57;  // a 140 Hz voice

  // Plays `count` frames of one talk spurt; arrival(k) gives packet k's arrival in ms
  // after its sending, or -1 when it is lost.
  template <typename Arrival>
  void run(int count, Arrival arrival) {
    std::vector<std::pair<uint32_t, int>> arrivals;  // (tick, packet)
    for (int k = 0; k < count; ++k) {
      int32_t after = arrival(k);
      if (after >= 0) arrivals.emplace_back(kStart + 20u * k + static_cast<uint32_t>(after), k);
    }
    std::stable_sort(arrivals.begin(), arrivals.end());
    size_t next = 0;
    int32_t wait = 1000;
    while (next < arrivals.size()) {
      uint32_t due = out.now + static_cast<uint32_t>(std::max(wait, 1));
      if (arrivals[next].first <= due) {
        out.now = std::max(out.now, arrivals[next].first);
        receive(arrivals[next++].second);
      } else {
        out.now = due;
      }
      wait = deliver();
    }
  }

  // The sending side's audio, decoded as the receiver decodes it.
  static std::vector<int32_t> source(int count) {
    std::vector<int32_t> decoded;
    for (int k = 0; k < count; ++k)
      for (uint8_t byte : tone(kPeriod, 160, 160 * k)) decoded.push_back(codecs::muLawDecode(byte));
    return decoded;
  }
  static int32_t largestStep(const std::vector<int32_t>& samples, size_t from = 1) {
    int32_t most = 0;
    for (size_t i = std::max<size_t>(from, 1); i < samples.size(); ++i)
      most = std::max(most, std::abs(samples[i] - samples[i - 1]));
    return most;
  }

  ScriptedOutput out;
  ReorderBuffer buffer{out.now};
  PlayoutClock clock{out, 99};
  PlayoutTypes types{13, 97};
  // For each packet played: when it was played and its sender-to-speaker delay in ms.
  std::vector<std::pair<uint32_t, int32_t>> delays;
  std::vector<uint32_t> concealTicks;  // when concealment was written

 private:
  void receive(int k) {
    RtpSlot* slot = buffer.freeSlot();
    ASSERT_NE(slot, nullptr);
    *slot = packet(0, static_cast<uint16_t>(k), 160u * k, tone(kPeriod, 160, 160 * k));
    ASSERT_TRUE(buffer.store(*slot, slot->length, out.now));
    clock.arrived(*slot, out.now);
  }
  int32_t deliver() {
    while (true) {
      const RtpSlot* head = buffer.head();
      if (head == nullptr) {
        const uint32_t concealed = clock.concealedSamples();
        int32_t wait = clock.idleFill();
        if (clock.concealedSamples() != concealed) concealTicks.push_back(out.now);
        return wait;
      }
      bool inSequence = head->packet.header.sequence == buffer.expectedSequence();
      if (!inSequence && clock.gapWait() > 5) return clock.gapWait();
      const uint32_t timestamp = head->packet.header.timestamp;
      const uint32_t dropped = clock.droppedPackets();
      const uint32_t concealed = clock.concealedSamples();
      clock.play(*head, !inSequence, types);
      if (clock.concealedSamples() != concealed) concealTicks.push_back(out.now);
      buffer.popHead();
      if (clock.droppedPackets() == dropped) {
        // The packet's last sample plays `ahead` from now; it was said as the packet left.
        const int32_t said = static_cast<int32_t>(kStart + timestamp / 8);
        delays.emplace_back(out.now, static_cast<int32_t>(out.now) + clock.ahead() - said);
      }
    }
  }
};

int32_t medianDelay(const std::vector<std::pair<uint32_t, int32_t>>& delays, uint32_t from,
                    uint32_t to) {
  std::vector<int32_t> values;
  for (auto [tick, delay] : delays) {
    if (tick >= from && tick < to) values.push_back(delay);
  }
  if (values.empty()) return -1000;
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

TEST(PlayoutAdaptation, DelayComesBackAfterAStallWithoutASampleStep) {
  ScriptedCall call;
  constexpr int kFrames = 1000;  // one 20 s talk spurt; the stall holds 8.0 .. 8.3 s back
  constexpr uint32_t kStall = ScriptedCall::kStart + 8000;
  call.run(kFrames, [](int k) {
    uint32_t sent = ScriptedCall::kStart + 20u * k;
    uint32_t arrival = sent + 5 + static_cast<uint32_t>(k * 7 % 5);
    if (sent >= kStall - 300 && sent < kStall) arrival = std::max(arrival, kStall + 5);
    return static_cast<int32_t>(arrival - sent);
  });
  const int32_t before = medianDelay(call.delays, kStall - 3000, kStall - 300);
  EXPECT_GT(before, 10);
  EXPECT_LT(before, 60);
  // Raised by the stall, back within 20 ms of the old delay within 5 s, and staying there.
  EXPECT_GT(medianDelay(call.delays, kStall, kStall + 400), before + 100);
  for (auto [tick, delay] : call.delays) {
    if (tick >= kStall + 5000) {
      EXPECT_LE(std::abs(delay - before), 20) << tick - kStall;
    }
  }
  EXPECT_GT(call.clock.shrunkSamples(), 0u);
  // No step larger than the voice's own.
  const int32_t own = ScriptedCall::largestStep(ScriptedCall::source(kFrames));
  const std::vector<int32_t>& heard = call.out.written;
  // The concealment that bridges the stall starts at 15/16 of the voice: that much more.
  const std::vector<int32_t> said = ScriptedCall::source(1);
  const int32_t peak = *std::max_element(said.begin(), said.end());
  EXPECT_LE(ScriptedCall::largestStep(heard, 400), own + peak / 16);
  // The output stays continuous: nothing restarted, every millisecond accounted for.
  EXPECT_GT(call.clock.ahead(), 0);
}

TEST(PlayoutAdaptation, UniformJitterConcealsOnlyLostPacketsAndSetsTheTarget) {
  ScriptedCall call;
  std::minstd_rand random(7);
  std::uniform_int_distribution<int32_t> jitter(0, 60);
  std::vector<uint32_t> lost;  // when the lost packets would have been sent
  call.run(1000, [&](int k) {
    int32_t after = jitter(random);
    if (k % 97 == 50) {
      lost.push_back(ScriptedCall::kStart + 20u * k);
      return -1;
    }
    return after;
  });
  EXPECT_GE(call.clock.jitterMs(), 50);
  EXPECT_LE(call.clock.jitterMs(), 60);
  EXPECT_GE(call.clock.targetMs(), call.clock.jitterMs());
  EXPECT_LE(call.clock.targetMs(), call.clock.jitterMs() + 20);
  // Once the jitter is known (the first second), concealment only where a packet was lost.
  EXPECT_GT(call.clock.concealedSamples(), 0u);
  for (uint32_t tick : call.concealTicks) {
    if (tick < ScriptedCall::kStart + 1000) continue;
    bool nearLoss = std::any_of(lost.begin(), lost.end(),
                                [&](uint32_t sent) { return tick >= sent && tick < sent + 150; });
    EXPECT_TRUE(nearLoss) << tick - ScriptedCall::kStart;
  }
  EXPECT_LE(call.clock.concealedSamples(), lost.size() * 3 * 160);
  EXPECT_EQ(call.clock.droppedPackets(), 0u);
  // The delay settles near the target plus the frame itself.
  const int32_t settled = medianDelay(call.delays, ScriptedCall::kStart + 5000, 0xFFFFFFFF);
  EXPECT_GE(settled, call.clock.targetMs());
  EXPECT_LE(settled, call.clock.targetMs() + 40);
}

}  // namespace
}  // namespace quillet::media
