// SPDX-License-Identifier: Apache-2.0
// PauseTrimmer: a spooled backlog catching up with a live microphone through its long
// pauses, short pauses and speech kept whole, and the pass-through once live.
#include "audio/pause_trimmer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "audio/audio_pipe.h"

namespace quillet::audio {
namespace {

// A microphone writing into a pipe, and the trimmer reading the pipe at real time.
class SpoolTest : public ::testing::Test {
 protected:
  // ms of a 200 Hz voice (or of quiet) as the microphone writes it.
  void say(uint32_t ms, bool voice) {
    std::vector<int32_t> block(ms * 8);
    for (auto& v : block) {
      v = voice ? static_cast<int32_t>(100000 * std::sin(2 * M_PI * said_ / 40.0)) : 300;
      ++said_;
    }
    voiced_ += voice ? block.size() : 0;
    writer_->Write(block.data(), static_cast<uint32_t>(block.size()));
  }
  // One 20 ms step of a call: the microphone says 20 ms, the pump sends up to 20 ms.
  void step(bool voice) {
    say(20, voice);
    const auto n = static_cast<uint32_t>(std::min(trimmer_->available(), 160));
    std::vector<int32_t> block(n);
    trimmer_->Read(block.data(), n);
    sent_.insert(sent_.end(), block.begin(), block.end());
  }
  size_t voicedSent() {
    size_t count = 0;
    for (int32_t v : sent_) count += v != 300 ? 1 : 0;
    return count;
  }

  PipeRef pipe_ = CreatePipe(8000, 1, kProgramPeakRange);
  SinkRef writer_ = OpenWriter(pipe_);
  StreamRef<PauseTrimmer> trimmer_ = makeStream<PauseTrimmer>(OpenReader(pipe_));
  uint32_t said_ = 0;
  size_t voiced_ = 0;
  std::vector<int32_t> sent_;
};

TEST_F(SpoolTest, TwoSecondsOfRingingCatchUpThroughTheLongPause) {
  // Said while it rang: a word, a short pause, a word, then quiet.
  say(400, true);
  say(250, false);
  say(350, true);
  say(1000, false);
  // After the answer the user stays quiet: live once the backlog is sent.
  int steps = 0;
  while (!trimmer_->live() && steps < 500) {
    step(false);
    ++steps;
  }
  ASSERT_TRUE(trimmer_->live());
  // Both words and the short pause went out whole, the long pause as 150 ms: live after
  // 400 + 250 + 350 + 150 ms of sending, give or take a step.
  EXPECT_EQ(voicedSent(), voiced_);
  EXPECT_NEAR(steps * 20, 1150, 40);
  EXPECT_NEAR(trimmer_->trimmedFrames() / 8, 2000 + steps * 20 - 1150, 40);
  // Live: what the microphone says goes out as it is said, at most a frame behind.
  const size_t before = sent_.size();
  for (int i = 0; i < 10; ++i) step(i % 2 == 0);
  EXPECT_EQ(voicedSent(), voiced_);
  EXPECT_EQ(sent_.size() - before, 10u * 160);
  EXPECT_LE(trimmer_->available(), 160);
}

TEST_F(SpoolTest, TalkingOnAfterTheAnswerCatchesUpAtTheNextLongPause) {
  say(2000, true);                          // talking all through the ringing ...
  for (int i = 0; i < 50; ++i) step(true);  // ... and a second after the answer
  EXPECT_FALSE(trimmer_->live());
  EXPECT_EQ(trimmer_->trimmedFrames(), 0u);
  int steps = 0;
  while (!trimmer_->live() && steps < 500) {
    step(false);
    ++steps;
  }
  // The 2 s behind went out at real time, then the pause that followed was cut.
  EXPECT_TRUE(trimmer_->live());
  EXPECT_NEAR(steps * 20, 2000 + 150, 40);
  EXPECT_EQ(voicedSent(), voiced_);
}

}  // namespace
}  // namespace quillet::audio
