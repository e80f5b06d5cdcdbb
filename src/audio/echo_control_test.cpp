// SPDX-License-Identifier: Apache-2.0
// The call's echo control: a room echo of the speaker's sound is cancelled, also after the
// Player moves on to another source (the calling sound, then the call) and after the
// speaker's device slips, the near end passes, the noise suppressor takes a steady noise
// down wherever it sits, and the output can move to another sink while the microphone runs.
#include "audio/echo_control.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <random>

#include "audio/test_streams.h"
#include "platform/tick.h"

namespace quillet::audio {
namespace {

using teststreams::ArraySource;
using teststreams::KeepSink;

// The Player's position on the test's own clock, 20 ms a block. That clock runs ahead of
// the real one, which the echo control reads to see how long ago the position came: never,
// as the position always moves just before the block. So a slow run (a sanitizer build on
// a loaded machine) plays the same as a fast one.
class FakePosition : public PlayPosition {
 public:
  uint32_t playPosition() const override { return position; }
  uint32_t playPositionTick() const override { return tick; }
  uint32_t playRate() const override { return rate; }
  void moveTo(uint32_t p) {
    position = p;
    tick = now += 20;
  }
  EchoConfig config() const {
    EchoConfig c;
    c.clock = [this] { return now; };
    return c;
  }
  uint32_t position = 0;
  uint32_t rate = 8000;  // of the source playing
  uint32_t now = platform::tickMs() + 10'000'000;
  uint32_t tick = now;
};

// Noise of the given rms in 16-bit terms (internal samples are 16 times that).
std::vector<int32_t> noise(uint32_t seed, size_t n, double rms) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> d(0.0, rms * 16);
  std::vector<int32_t> v(n);
  for (auto& x : v) x = static_cast<int32_t>(d(rng));
  return v;
}

double energy(const int32_t* x, size_t n) {
  double e = 1e-9;
  for (size_t i = 0; i < n; ++i) e += static_cast<double>(x[i]) * x[i];
  return e;
}

// A room: 30 ms of latency and path, then a tail decaying over about 100 ms (at 8000 or
// 16000 Hz: `scale` samples per 8000 Hz sample, the tail as loud in sum).
class Room {
 public:
  explicit Room(size_t scale = 1) : h_((240 + 800) * scale) {
    std::mt19937 rng(5);
    std::normal_distribution<double> d(0.0, 1.0);
    h_[240 * scale] = 0.5;
    const double tail = 0.05 / std::sqrt(static_cast<double>(scale));
    for (size_t k = 260 * scale; k < h_.size(); ++k)
      h_[k] = tail * d(rng) * std::exp(-(k - 260.0 * scale) / (120.0 * scale));
    past_.assign(h_.size(), 0.0);
  }
  int32_t echo(int32_t played) {
    past_.insert(past_.begin(), played);
    past_.pop_back();
    double y = 0;
    for (size_t k = 0; k < h_.size(); ++k) y += h_[k] * past_[k];
    return static_cast<int32_t>(y);
  }

 private:
  std::vector<double> h_;
  std::vector<double> past_;
};

struct Call {
  uint32_t rate;
  FakePosition position;
  StreamRef<EchoControl> control;
  KeepSink* sink = new KeepSink(rate, 1);
  Room room{rate / 8000};
  std::vector<int32_t> heard;       // what the microphone heard
  std::deque<int32_t> sounding{0};  // read, not yet sounded
  size_t late = 0;                  // samples the device fell behind the reads
  // The device ran dry and started again later: from now on what is read sounds `by`
  // samples later, and the play position says so.
  void slip(size_t by) {
    sounding.insert(sounding.begin(), by, 0);
    late += by;
  }
  Call(bool canceller, bool denoise, uint32_t callRate = 8000)
      : rate(callRate),
        control(makeStream<EchoControl>(&position, position.config(), canceller, denoise, rate)) {
    control->setOutput(SinkRef(sink));
  }

  // Plays `seconds` of the source while the microphone hears its echo plus `near`. A source
  // at half the call's rate sounds with a sample put between each two.
  void play(SourceRef& played, double seconds, const std::vector<int32_t>& near = {}) {
    const size_t frame = rate / 50;
    const auto read = static_cast<uint32_t>(played->rate() / 50);
    std::vector<int32_t> speaker(read), mic(frame);
    position.rate = static_cast<uint32_t>(played->rate());
    for (int b = 0; b < seconds * 50; ++b) {
      played->Read(speaker.data(), read);
      position.moveTo(played->Position() - static_cast<uint32_t>(late));
      for (int32_t s : speaker) {
        if (read < frame) sounding.push_back((previous + s) / 2);
        sounding.push_back(s);
        previous = s;
      }
      for (size_t i = 0; i < frame; ++i) {
        const size_t at = static_cast<size_t>(b) * frame + i;
        mic[i] = room.echo(sounding.front()) + (at < near.size() ? near[at] : 0);
        sounding.pop_front();
      }
      heard.insert(heard.end(), mic.begin(), mic.end());
      control->Write(mic.data(), static_cast<uint32_t>(frame));
    }
  }
  int32_t previous = 0;
};

// Level (dB) of what went out against what the near end said, over n samples from `at`.
double passed(const std::vector<int32_t>& out, size_t at, const std::vector<int32_t>& said,
              size_t n) {
  return 10 * std::log10(energy(out.data() + at, n) / energy(said.data(), n));
}

// The placements of the echo control: canceller or not, noise suppressor or not.
struct Placement {
  bool canceller;
  bool denoise;
  const char* name;
};
constexpr Placement kPlacements[] = {
    {true, true, "canceller, noise suppressor and suppressor"},
    {true, false, "canceller and suppressor"},
    {false, true, "noise suppressor and suppressor"},
    {false, false, "suppressor alone"},
};

TEST(EchoControl, CancelsTheRoomsEchoAcrossASourceChangeAndADeviceSlipAndKeepsTheNearEnd) {
  for (const auto [canceller, denoise, name] : kPlacements) {
    SCOPED_TRACE(name);
    Call call(canceller, denoise);
    // The calling sound first, then the call's audio from position 0 of a new stream.
    SourceRef calling =
        call.control->tap(SourceRef(new ArraySource(8000, 1, noise(1, 8000 * 2, 3000))));
    call.play(calling, 2);
    SourceRef received =
        call.control->tap(SourceRef(new ArraySource(8000, 1, noise(2, 8000 * 7, 3000))));
    call.play(received, 3);
    // The last second of far-end-only talk: the echo (about -4 dB) is gone.
    const auto& out = call.sink->data;
    ASSERT_GE(out.size(), 8000u * 5 - 160);
    const std::vector<int32_t> echoLevel = noise(2, 8000, 3000 * 0.6);
    EXPECT_LT(energy(out.data() + out.size() - 8000, 8000), energy(echoLevel.data(), 8000) / 300);
    // The near end talks over the far end: with the echo cancelled the gate stays open and
    // passes the near end whole; the band gate alone cannot tell it from the echo.
    const std::vector<int32_t> near = noise(3, 4000, 4000);
    const size_t start = out.size();
    call.play(received, 0.5, near);
    if (canceller) {
      EXPECT_NEAR(passed(out, start, near, 4000), 0.0, 1.5);
    } else {
      EXPECT_LT(passed(out, start, near, 4000), -6.0);
    }
    // The speaker's device runs dry and goes on 30 ms later: the echo path the canceller
    // learned no longer fits, and the gate, set for the echo it left, must not pass the
    // whole echo while it learns again.
    call.play(received, 1.5);
    call.slip(240);
    const size_t slipped = out.size();
    call.play(received, 1);
    for (size_t from = slipped; from + 800 <= out.size(); from += 800) {  // each 100 ms
      SCOPED_TRACE(from - slipped);
      EXPECT_LT(10 * std::log10(energy(out.data() + from, 800) / energy(&call.heard[from], 800)),
                -25.0);
    }
  }
}

// A wideband call: every stage runs at 16000 Hz. The calling sound (8000 Hz) and then the
// call's sound are cancelled, and the near end's 4-7 kHz passes whole over the far end's
// talk, which an 8000 Hz echo control would have taken out.
TEST(EchoControl, WidebandCallCancelsTheEchoAndKeepsTheNearEndsHighBand) {
  for (const auto [canceller, denoise, name] : kPlacements) {
    if (!canceller) continue;  // the band gate alone cannot pass double talk
    SCOPED_TRACE(name);
    Call call(canceller, denoise, 16000);
    EXPECT_EQ(call.control->rate(), 16000u);
    SourceRef calling =
        call.control->tap(SourceRef(new ArraySource(8000, 1, noise(1, 8000 * 2, 3000))));
    call.play(calling, 2);
    SourceRef received =
        call.control->tap(SourceRef(new ArraySource(16000, 1, noise(2, 16000 * 5, 3000))));
    call.play(received, 3);
    const auto& out = call.sink->data;
    ASSERT_GE(out.size(), 16000u * 5 - 320);
    const std::vector<int32_t> echoLevel = noise(2, 16000, 3000 * 0.6);
    EXPECT_LT(energy(out.data() + out.size() - 16000, 16000),
              energy(echoLevel.data(), 16000) / 300);
    // Two tones at 5 and 6.5 kHz.
    std::vector<int32_t> near(8000);
    for (size_t i = 0; i < near.size(); ++i)
      near[i] = static_cast<int32_t>(16 * 3000 *
                                     (std::sin(2 * M_PI * 5000 * static_cast<double>(i) / 16000) +
                                      std::sin(2 * M_PI * 6500 * static_cast<double>(i) / 16000)));
    const size_t start = out.size();
    call.play(received, 0.5, near);
    EXPECT_NEAR(
        passed(out, start + 1600, std::vector<int32_t>(near.begin() + 1600, near.end()), 6400), 0.0,
        1.5);
  }
}

// A new profile has learned nothing of the room, and the far end has played for a while
// when the microphone starts: the echo is held back from the first block on.
TEST(EchoControl, FirstCallOnANewProfileHoldsTheEchoBackFromTheStart) {
  for (const auto [canceller, denoise, name] : kPlacements) {
    SCOPED_TRACE(name);
    Call call(canceller, denoise);
    SourceRef received =
        call.control->tap(SourceRef(new ArraySource(8000, 1, noise(4, 8000 * 3, 3000))));
    int32_t speaker[160];
    for (int b = 0; b < 15; ++b) {  // 300 ms before the microphone runs
      received->Read(speaker, 160);
      call.position.moveTo(received->Position());
      for (int32_t s : speaker) call.room.echo(s);
    }
    call.play(received, 1.7);
    const auto& out = call.sink->data;
    ASSERT_GE(out.size(), 12000u);
    for (const size_t at : {0, 4000, 8000}) {  // each half second
      SCOPED_TRACE(at);
      EXPECT_LT(10 * std::log10(energy(out.data() + at, 4000) / energy(&call.heard[at], 4000)),
                -25.0);
    }
  }
}

// A fan in the room and nothing from the far end: the noise suppressor takes it down behind
// the canceller, after the suppressor alone and as a stage of its own, where without it the
// gate only dips it. Half a second of a louder sound then passes.
TEST(EchoControl, NoiseSuppressorTakesASteadyNoiseDownAndLetsALouderSoundThrough) {
  const std::vector<int32_t> fan = noise(6, 8000 * 4, 100);
  const std::vector<int32_t> voice = noise(7, 4000, 3000);
  std::vector<int32_t> mic = fan;
  for (size_t i = 0; i < voice.size(); ++i) mic[8000 * 3 + i] += voice[i];
  const auto lastSecondOfFan = [&](const std::vector<int32_t>& out) {
    return 10 *
           std::log10(energy(out.data() + 8000 * 2, 8000) / energy(fan.data() + 8000 * 2, 8000));
  };
  for (const bool canceller : {true, false}) {
    SCOPED_TRACE(canceller ? "with the canceller" : "suppressor alone");
    double without = 0;
    for (const bool denoise : {false, true}) {
      Call call(canceller, denoise);
      call.control->Write(mic.data(), static_cast<uint32_t>(mic.size()));
      const auto& out = call.sink->data;
      ASSERT_GE(out.size(), mic.size() - 320);
      const double fanDb = lastSecondOfFan(out);
      if (denoise) {
        EXPECT_LT(fanDb, without - 12);
      } else {
        EXPECT_GT(fanDb, -12);
      }
      without = fanDb;
      EXPECT_NEAR(passed(out, 8000 * 3 + 160, voice, 3200), 0.0, 1.5);
    }
  }
  auto* out = new KeepSink(8000, 1);
  NoiseSuppressingSink stage{SinkRef(out)};
  for (size_t at = 0; at < mic.size(); at += 80) stage.Write(&mic[at], 80);  // 10 ms blocks
  ASSERT_EQ(out->data.size(), mic.size());
  EXPECT_LT(lastSecondOfFan(out->data), -15.0);
  EXPECT_NEAR(passed(out->data, 8000 * 3 + 160, voice, 3200), 0.0, 1.5);
}

TEST(EchoControl, OutputMovesToAnotherSinkAndOtherFormatsPassUntapped) {
  FakePosition position;
  auto control = makeStream<EchoControl>(&position, position.config(), true);
  auto* first = new KeepSink(8000, 1);
  SinkRef firstRef(first);
  control->setOutput(firstRef);
  const std::vector<int32_t> speech = noise(4, 8000, 4000);
  control->Write(speech.data(), 8000);
  auto* second = new KeepSink(8000, 1);
  second->Write(speech.data(), 320);  // already holds something
  control->setOutput(SinkRef(second));
  EXPECT_EQ(control->position(), 320u);
  control->Write(speech.data(), 1600);
  EXPECT_GE(first->data.size(), 8000u - 240);
  EXPECT_GE(second->data.size(), 320u + 1600 - 240);
  EXPECT_EQ(control->position(), 1920u);

  SourceRef stereo(new ArraySource(44100, 2, std::vector<int32_t>(882)));
  EXPECT_EQ(control->tap(stereo), stereo);
}

}  // namespace
}  // namespace quillet::audio
