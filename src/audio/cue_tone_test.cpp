// The intercom cue before a call's audio: the two beeps, then every frame of the call.
#include "audio/cue_tone.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "audio/test_streams.h"

namespace quillet::audio {
namespace {

using teststreams::ArraySource;
using teststreams::toneAmplitude;

TEST(CueTone, BeepsThenTheWholeCallInOrder) {
  constexpr uint32_t kRate = 8000;
  constexpr uint32_t kCueFrames = kRate * kCueMs / 1000;
  std::vector<int32_t> call(1000);
  std::iota(call.begin(), call.end(), 1);
  auto* array = new ArraySource(kRate, 1, call);
  array->live = true;
  SourceRef source = MakeCueSource(SourceRef(array));
  // What the call holds already counts as available behind the cue.
  EXPECT_EQ(source->available(), static_cast<int32_t>(kCueFrames + call.size()));
  EXPECT_TRUE(source->MoreComing());

  // Read in odd pieces, as a player's blocks fall.
  std::vector<int32_t> heard;
  std::vector<int32_t> block(333);
  while (heard.size() < kCueFrames + call.size()) {
    source->Read(block.data(), static_cast<uint32_t>(block.size()));
    heard.insert(heard.end(), block.begin(), block.end());
  }
  EXPECT_EQ(source->Position(), static_cast<uint32_t>(heard.size()));
  const uint32_t beep = kRate / 10;  // 100 ms
  EXPECT_GT(toneAmplitude(heard.data() + 40, beep - 80, kCueLowHz, kRate), 100000);
  EXPECT_LT(toneAmplitude(heard.data() + 40, beep - 80, kCueHighHz, kRate), 5000);
  const int32_t* second = heard.data() + beep + kRate * 40 / 1000;
  EXPECT_GT(toneAmplitude(second + 40, beep - 80, kCueHighHz, kRate), 100000);
  EXPECT_EQ(heard[kCueFrames - 1], 0);  // a moment of silence before the caller
  EXPECT_TRUE(std::equal(call.begin(), call.end(), heard.begin() + kCueFrames));
}

}  // namespace
}  // namespace quillet::audio
