// SPDX-License-Identifier: Apache-2.0
// FileBuffer: a writer and a reader through a temporary file that never outlives them.
#include "audio/file_buffer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <numeric>
#include <optional>
#include <thread>
#include <vector>

#include "audio/recorder_test_util.h"

namespace quillet::audio {
namespace {

using testing::openFds;

// Points TMPDIR at a private folder for the test and checks it is empty at the end.
class FileBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("TMPDIR")) oldTmp_ = old;
    ::setenv("TMPDIR", tmp_.path().c_str(), 1);
  }
  void TearDown() override {
    EXPECT_TRUE(std::filesystem::is_empty(dir_)) << "temporary files left behind";
    if (oldTmp_) {
      ::setenv("TMPDIR", oldTmp_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
  }
  testing::TempDir tmp_;
  const std::filesystem::path dir_ = tmp_.path();
  std::optional<std::string> oldTmp_;
};

TEST_F(FileBufferTest, ReaderFollowsWriterAndZeroFillsWhatIsNotThereYet) {
  auto buf = std::make_shared<FileBuffer>(8000, 2);
  SinkRef writer = OpenFileWriter(buf);
  SourceRef reader = OpenFileReader(buf);
  EXPECT_EQ(reader->peakRange(), 524272);
  EXPECT_EQ(writer->channels(), 2u);
  EXPECT_TRUE(buf->IsDrained());
  std::vector<int32_t> data(2 * 100);
  std::iota(data.begin(), data.end(), -50);
  writer->Write(data.data(), 100);
  EXPECT_FALSE(buf->IsDrained());
  EXPECT_EQ(reader->Length(), 100u);
  EXPECT_TRUE(reader->MoreComing());
  std::vector<int32_t> got(2 * 150, 99);
  reader->Read(got.data(), 150);
  for (size_t i = 0; i < 200; ++i) ASSERT_EQ(got[i], static_cast<int32_t>(i) - 50);
  for (size_t i = 200; i < 300; ++i) ASSERT_EQ(got[i], 0);
  EXPECT_EQ(reader->Position(), 100u);  // only what the file held was consumed
  EXPECT_TRUE(buf->IsDrained());
  writer->Write(data.data(), 10);
  EXPECT_EQ(reader->Length(), 110u);
}

TEST_F(FileBufferTest, CarriesAudioBetweenThreadsWithoutSizeLimit) {
  auto buf = std::make_shared<FileBuffer>(8000, 1);
  SourceRef reader = OpenFileReader(buf);
  constexpr int32_t kTotal = 400000;                             // more than a pipe ring holds
  auto writer = std::make_unique<SinkRef>(OpenFileWriter(buf));  // attached before reading
  std::thread producer([&writer] {
    std::vector<int32_t> block(1000);
    for (int32_t at = 0; at < kTotal; at += 1000) {
      std::iota(block.begin(), block.end(), at);
      (*writer)->Write(block.data(), 1000);
    }
    writer.reset();
  });
  std::vector<int32_t> got(kTotal);
  uint32_t have = 0;
  while (have < kTotal) {
    const int32_t avail = reader->available();
    if (avail <= 0) {
      if (!reader->MoreComing() && reader->available() <= 0) break;
      reader->Wait(100);
      continue;
    }
    const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(avail), 777);
    reader->Read(got.data() + have, n);
    have += n;
  }
  producer.join();
  ASSERT_EQ(have, static_cast<uint32_t>(kTotal));
  for (int32_t i = 0; i < kTotal; ++i) ASSERT_EQ(got[static_cast<size_t>(i)], i);
  EXPECT_FALSE(reader->MoreComing());
  EXPECT_TRUE(buf->IsDrained());
}

TEST_F(FileBufferTest, FileGoesWhenTheLastOfSeveralEndsDetaches) {
  auto buf = std::make_shared<FileBuffer>(8000, 1);
  const int before = openFds();
  EXPECT_FALSE(buf->isOpen());
  {
    SinkRef writer = OpenFileWriter(buf);
    EXPECT_TRUE(buf->isOpen());
    EXPECT_FALSE(buf->path().empty());
    EXPECT_TRUE(std::filesystem::is_empty(dir_));  // unlinked as soon as it was opened
    {
      SinkRef second = OpenFileWriter(buf);
      SourceRef reader = OpenFileReader(buf);
      int32_t x[3] = {1, 2, 3};
      writer->Write(x, 3);
      second.resetNull();
      EXPECT_TRUE(reader->MoreComing());  // the first writer still writes
      writer->Write(x, 3);
      EXPECT_EQ(reader->Length(), 6u);
    }
    EXPECT_TRUE(buf->isOpen());  // the writer still holds it
    writer.resetNull();
    EXPECT_FALSE(buf->isOpen());
    EXPECT_TRUE(buf->path().empty());
    EXPECT_TRUE(buf->IsDrained());
  }
  EXPECT_EQ(openFds(), before);
}

TEST_F(FileBufferTest, EndsOutlivingTheOwnerAndAnEarlyExitLeaveNothing) {
  const int before = openFds();
  SourceRef reader;
  {
    auto buf = std::make_shared<FileBuffer>(8000, 1);
    SinkRef writer = OpenFileWriter(buf);
    reader = OpenFileReader(buf);
    int32_t x[4] = {1, 2, 3, 4};
    writer->Write(x, 4);
  }  // owner and writer gone, as when a test fails half-way
  EXPECT_FALSE(reader->MoreComing());
  int32_t got[6];
  reader->Read(got, 6);
  EXPECT_EQ(got[3], 4);
  EXPECT_EQ(got[4], 0);
  reader.resetNull();
  EXPECT_EQ(openFds(), before);
}

}  // namespace
}  // namespace quillet::audio
