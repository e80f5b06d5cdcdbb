// SPDX-License-Identifier: Apache-2.0
// AudioPipe across a writer thread and a reader thread.
#include "audio/audio_pipe.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <numeric>
#include <thread>
#include <vector>

namespace quillet::audio {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<int32_t> ramp(int32_t from, size_t n) {
  std::vector<int32_t> v(n);
  std::iota(v.begin(), v.end(), from);
  return v;
}

long msSince(Clock::time_point t) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

TEST(AudioPipe, ReaderGetsTheRestThenZerosOnceTheWriterIsGone) {
  PipeRef pipe = CreatePipe(8000, 2, 524272);
  SourceRef reader = OpenReader(pipe);
  std::thread producer([pipe] {
    SinkRef writer = OpenWriter(pipe);
    const auto data = ramp(1, 2 * 300);
    writer->Write(data.data(), 300);
  });  // the writer end goes with the thread
  producer.join();
  EXPECT_FALSE(reader->MoreComing());
  EXPECT_EQ(reader->Length(), 300u);
  EXPECT_EQ(reader->Position(), 0u);
  std::vector<int32_t> got(2 * 500, -1);
  reader->Read(got.data(), 500);  // returns at once: no writer to wait for
  // The position counts what was handed out, zeros too; nothing is left to read.
  EXPECT_EQ(reader->Position(), 500u);
  EXPECT_EQ(reader->Length(), 500u);
  EXPECT_EQ(reader->available(), 0);
  for (size_t i = 0; i < 600; ++i) ASSERT_EQ(got[i], static_cast<int32_t>(i + 1));
  for (size_t i = 600; i < got.size(); ++i) ASSERT_EQ(got[i], 0);
}

TEST(AudioPipe, WaitingReaderWakesWhenTheWriterGoes) {
  PipeRef pipe = CreatePipe(8000, 1, 524272);
  SourceRef reader = OpenReader(pipe);
  auto writer = std::make_unique<SinkRef>(OpenWriter(pipe));
  auto result = std::async(std::launch::async, [&reader] {
    std::vector<int32_t> got(100, -1);
    reader->Read(got.data(), 100);  // blocks: the writer is attached and the ring is empty
    return got;
  });
  EXPECT_EQ(result.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  const auto data = ramp(7, 40);
  (*writer)->Write(data.data(), 40);
  writer.reset();
  const auto got = result.get();
  for (size_t i = 0; i < 40; ++i) EXPECT_EQ(got[i], static_cast<int32_t>(7 + i));
  for (size_t i = 40; i < 100; ++i) EXPECT_EQ(got[i], 0);
}

TEST(AudioPipe, WriterWithoutReaderNeverBlocksAndCutsTheBlock) {
  PipeRef pipe = CreatePipe(8000, 1, 524272, 400);  // 100 frames
  SinkRef writer = OpenWriter(pipe);
  const auto data = ramp(1, 1000);
  const auto start = Clock::now();
  writer->Write(data.data(), 1000);
  writer->Write(data.data(), 1000);
  EXPECT_LT(msSince(start), 1000);  // waiting for a reader would never end
  EXPECT_EQ(PipeFrames(pipe), 100u);
  EXPECT_EQ(writer->position(), 2000u);
  SourceRef reader = OpenReader(pipe);
  std::vector<int32_t> got(100);
  reader->Read(got.data(), 100);
  EXPECT_EQ(got.front(), 1);
  EXPECT_EQ(got.back(), 100);  // the first 100 frames were kept, the rest cut
}

TEST(AudioPipe, WaitingWriterDropsTheRestWhenTheReaderGoes) {
  PipeRef pipe = CreatePipe(8000, 1, 524272, 400);
  auto reader = std::make_unique<SourceRef>(OpenReader(pipe));
  auto writing = std::async(std::launch::async, [pipe] {
    SinkRef writer = OpenWriter(pipe);
    const auto data = ramp(1, 1000);
    writer->Write(data.data(), 1000);
  });
  EXPECT_EQ(writing.wait_for(std::chrono::milliseconds(250)), std::future_status::timeout);
  const auto start = Clock::now();
  reader.reset();
  writing.get();
  EXPECT_LT(msSince(start), 1000);  // woken by the reader leaving, then no further wait
}

// A ring far smaller than the stream: the writer waits for room, every sample arrives in order.
TEST(AudioPipe, KeepsEverySampleInOrderAcrossManyWraps) {
  PipeRef pipe = CreatePipe(8000, 1, 524272, 4 * 37);  // small odd-sized ring: many wraps
  SourceRef reader = OpenReader(pipe);
  constexpr int32_t kTotal = 50000;
  SinkRef writerEnd = OpenWriter(pipe);  // attached before the reader could look
  std::thread producer([writer = std::move(writerEnd)] {
    int32_t next = 0;
    uint32_t size = 1;
    while (next < kTotal) {
      const uint32_t n = std::min<uint32_t>(size, static_cast<uint32_t>(kTotal - next));
      const auto data = ramp(next, n);
      writer->Write(data.data(), n);
      next += static_cast<int32_t>(n);
      size = size % 61 + 7;
    }
  });
  std::vector<int32_t> got(kTotal);
  int32_t at = 0;
  uint32_t size = 3;
  while (at < kTotal) {
    const uint32_t n = std::min<uint32_t>(size, static_cast<uint32_t>(kTotal - at));
    reader->Read(got.data() + at, n);
    at += static_cast<int32_t>(n);
    size = size % 53 + 5;
  }
  producer.join();
  for (int32_t i = 0; i < kTotal; ++i) ASSERT_EQ(got[static_cast<size_t>(i)], i);
}

// A read of nothing returns at once; Wait returns when data comes.
TEST(AudioPipe, ReadOfNothingReturnsAtOnceAndWaitFollowsTheData) {
  PipeRef pipe = CreatePipe(8000, 1, 0x200000);
  SinkRef writer = OpenWriter(pipe);
  SourceRef reader = OpenReader(pipe);
  EXPECT_EQ(reader->peakRange(), 0x200000);
  const auto start = Clock::now();
  reader->Read(nullptr, 0);
  EXPECT_LT(msSince(start), 500);  // an empty ring with a writer would wait 1000 ms
  EXPECT_TRUE(reader->MoreComing());
  auto waiting = std::async(std::launch::async, [&reader] {
    reader->Wait(5000);
    return reader->Length();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto data = ramp(0, 160);
  writer->Write(data.data(), 160);
  EXPECT_EQ(waiting.get(), 160u);
}

}  // namespace
}  // namespace quillet::audio
