// The intercom cue's delay paid back in a call's first pauses, every frame of its voice kept;
// a live call's standing backlog taken out of its pauses the same way. (The two beeps before
// the call's words are found on the speaker in tests/e2e/intercom_e2e.py.)
#include "audio/cue_tone.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "audio/test_streams.h"

namespace quillet::audio {
namespace {

using teststreams::ArraySource;

TEST(CueTone, TheDelayOfTheCueIsPaidBackInPausesOnly) {
  constexpr uint32_t kRate = 8000;
  constexpr uint32_t kCueFrames = kRate * kCueMs / 1000;
  const auto quiet = [](uint32_t ms, int32_t base) {
    std::vector<int32_t> v(kRate * ms / 1000);
    for (size_t i = 0; i < v.size(); ++i) v[i] = base + static_cast<int32_t>(i % 7);
    return v;
  };
  const auto voice = [](uint32_t ms, int32_t base) {
    std::vector<int32_t> v(kRate * ms / 1000);
    std::iota(v.begin(), v.end(), base);
    return v;
  };
  // What queued while the cue played: a pause, a word, a longer pause, a word.
  const std::vector<std::vector<int32_t>> parts = {quiet(200, 100), voice(100, 20000),
                                                   quiet(400, 200), voice(100, 40000)};
  std::vector<int32_t> call;
  for (const auto& part : parts) call.insert(call.end(), part.begin(), part.end());
  auto* array = new ArraySource(kRate, 1, call);
  array->live = true;
  SourceRef source = MakeCueSource(SourceRef(array));

  std::vector<int32_t> heard;
  std::vector<int32_t> block(160);
  while (source->available() > 0) {
    const auto n = static_cast<uint32_t>(std::min<int32_t>(source->available(), 160));
    source->Read(block.data(), n);
    heard.insert(heard.end(), block.begin(), block.begin() + n);
    EXPECT_EQ(source->Position(), heard.size());
  }
  // The 300 ms are taken from the pauses past their first 50 ms: 150 ms of each.
  const auto keptQuiet = kRate / 20;
  std::vector<int32_t> expected(parts[0].begin(), parts[0].begin() + keptQuiet);
  expected.insert(expected.end(), parts[1].begin(), parts[1].end());
  expected.insert(expected.end(), parts[2].begin(), parts[2].begin() + keptQuiet);
  expected.insert(expected.end(), parts[2].begin() + keptQuiet + 3 * kRate / 20, parts[2].end());
  expected.insert(expected.end(), parts[3].begin(), parts[3].end());
  ASSERT_EQ(heard.size(), kCueFrames + expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), heard.begin() + kCueFrames));

  // A call whose audio comes live, with nothing queued behind the cue: nothing is left out.
  auto* live = new ArraySource(kRate, 1, {});
  live->live = true;
  SourceRef later = MakeCueSource(SourceRef(live));
  std::vector<int32_t> cue(kCueFrames);
  later->Read(cue.data(), kCueFrames);
  live->data = quiet(20, 100);
  later->Read(block.data(), 160);
  EXPECT_EQ(live->pos, 160u);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), live->data.begin()));
}

// A device queue that holds what playback needs, as a live Player keeps it.
struct FixedQueue : PlaybackQueue {
  uint32_t queuedFrames() const override { return queued; }
  uint32_t neededFrames() const override { return 320; }
  uint32_t queued = 320;
};

TEST(CueTone, ALiveCallsStandingBacklogIsTakenOutOfItsPausesOnly) {
  // Audio comes in real time, 160 frames before each read of 160, over a standing backlog of
  // 160 ms: once a whole second has shown it is never drawn on, it goes, from the pauses.
  // Then the device goes 20 ms short (a stall): the next pause gives it back.
  constexpr uint32_t kRate = 8000;
  constexpr uint32_t kBacklog = 1280;
  std::vector<int32_t> call;
  std::vector<std::pair<size_t, size_t>> words;  // where each word is in `call`
  for (const auto& [quietMs, voiceMs] : {std::pair{600, 200}, {600, 200}, {1000, 100}}) {
    call.insert(call.end(), kRate * quietMs / 1000, 300);
    words.emplace_back(call.size(), kRate * voiceMs / 1000);
    for (int i = 0; i < voiceMs * 8; ++i) call.push_back(20000 + i);
  }
  auto* array = new ArraySource(kRate, 1, {call.begin(), call.begin() + kBacklog});
  array->live = true;
  FixedQueue queue;
  SourceRef source = MakeCallSource(SourceRef(array), false, queue);
  std::vector<int32_t> heard;
  std::vector<int32_t> block(160);
  for (size_t next = kBacklog; next < call.size(); next += 160) {
    array->data.insert(array->data.end(), call.begin() + next, call.begin() + next + 160);
    source->Read(block.data(), 160);
    heard.insert(heard.end(), block.begin(), block.end());
    EXPECT_EQ(source->Position(), heard.size());
    if (heard.size() == kRate) queue.queued = 160;
  }
  // All of the backlog, and no more; then 20 ms put back, which now wait in the source.
  EXPECT_EQ(heard.size(), array->pos - kBacklog + 160);
  EXPECT_EQ(source->available(), 160);
  for (const auto& [at, length] : words) {
    const auto found =
        std::search(heard.begin(), heard.end(), call.begin() + at, call.begin() + at + length);
    EXPECT_NE(found, heard.end()) << "the word at " << at << " was cut";
  }
}

}  // namespace
}  // namespace quillet::audio
