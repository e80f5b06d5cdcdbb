// SPDX-License-Identifier: Apache-2.0
// A live call's standing backlog taken out of its pauses only, every frame of its voice kept;
// the cue's own delay is paid back by the same rules. (The two beeps before the call's words
// are found on the speaker in tests/e2e/intercom_e2e.py, which also hears every word whole;
// latency_e2e fails a call whose delay keeps the cue's length.)
#include "audio/cue_tone.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "audio/test_streams.h"

namespace quillet::audio {
namespace {

using teststreams::ArraySource;

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
