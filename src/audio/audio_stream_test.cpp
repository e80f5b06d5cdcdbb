// SPDX-License-Identifier: Apache-2.0
// Reference counting and the null streams.
#include "audio/audio_stream.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace quillet::audio {
namespace {

// Counts its destruction; may hold another stream, as a filter holds its downstream.
class CountedSink : public AudioSink {
 public:
  explicit CountedSink(int* deaths, uint32_t rate = 8000, uint32_t channels = 1)
      : AudioSink(rate, channels), deaths_(deaths) {}
  ~CountedSink() override {
    if (deaths_ != nullptr) ++*deaths_;
  }
  void Write(const int32_t*, uint32_t frames) override { position_ += frames; }
  SinkRef inner;

 private:
  int* deaths_;
};

TEST(StreamRef, FreesTargetExactlyWhenLastReferenceGoes) {
  int deaths = 0;
  {
    SinkRef a(new CountedSink(&deaths));
    {
      SinkRef b = a;
      SinkRef c;
      c = b;
      EXPECT_EQ(a->refCount(), 3u);
    }
    EXPECT_EQ(a->refCount(), 1u);
    a = a;  // self-assignment keeps the target
    EXPECT_EQ(deaths, 0);
    a.resetNull();
    EXPECT_EQ(deaths, 1);
    EXPECT_TRUE(a.isNull());
  }
  EXPECT_EQ(deaths, 1);
  // A filter dropped in favour of its own downstream: the new target is counted before the
  // old one (which holds the only other reference) is released.
  int innerDeaths = 0;
  auto* filter = new CountedSink(&deaths);
  filter->inner = SinkRef(new CountedSink(&innerDeaths));
  SinkRef head(filter);
  head = filter->inner;
  EXPECT_EQ(deaths, 2);
  EXPECT_EQ(innerDeaths, 0);
  EXPECT_EQ(head->refCount(), 1u);
  EXPECT_EQ(head->rate(), 8000u);
}

TEST(StreamRef, CountsCorrectlyAcrossThreads) {
  int deaths = 0;
  SinkRef shared(new CountedSink(&deaths));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&shared] {
      for (int i = 0; i < 20000; ++i) {
        SinkRef copy = shared;
        SinkRef other;
        other = copy;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(shared->refCount(), 1u);
  EXPECT_EQ(deaths, 0);
}

// Null streams do nothing and read as silence; a null source standing for an unusable file
// keeps its error kind; streams of an invalid format are made valid and marked null.
TEST(NullStreams, DoNothingCarryTheirErrorAndInvalidFormatsBecomeNull) {
  SinkRef sink;
  EXPECT_TRUE(sink.isNull());
  int32_t block[4] = {1, 2, 3, 4};
  sink->Write(block, 4);
  sink->Seek(100);
  EXPECT_EQ(sink->position(), 0u);
  SourceRef source;
  source->Read(block, 4);
  EXPECT_EQ(std::vector<int32_t>(block, block + 4), std::vector<int32_t>(4, 0));
  EXPECT_EQ(source->Position(), 0u);
  EXPECT_EQ(source->Length(), 0u);
  EXPECT_FALSE(source->MoreComing());
  for (StreamError e :
       {StreamError::kNotWave, StreamError::kCannotOpen, StreamError::kUnsupported}) {
    SourceRef s(new NullSource(e));
    EXPECT_TRUE(s.isNull());
    EXPECT_EQ(s->error(), e);
  }
  struct Src : AudioSource {
    Src(int32_t rate, uint32_t ch) : AudioSource(rate, ch, 1) {}
    void Read(int32_t*, uint32_t) override {}
  };
  EXPECT_EQ(Src(0, 1).rate(), 44100u);
  EXPECT_TRUE(Src(0, 1).isNull());
  EXPECT_EQ(Src(8000, 0).channels(), 1u);
  EXPECT_TRUE(Src(8000, 0).isNull());
  EXPECT_FALSE(Src(8000, 2).isNull());
  CountedSink zeroChannels(nullptr, 8000, 0);
  EXPECT_EQ(zeroChannels.channels(), 1u);
  EXPECT_TRUE(zeroChannels.isNull());
  EXPECT_FALSE(CountedSink(nullptr).isNull());
}

TEST(StreamFormats, PositionInMsAvoidsOverflow) {
  CountedSink s(nullptr, 44100);
  s.Write(nullptr, 4000000000u);  // 90702 s: frames × 1000 would overflow 32 bits
  EXPECT_EQ(s.positionMs(), 4000000000ull * 1000 / 44100);
}

}  // namespace
}  // namespace quillet::audio
