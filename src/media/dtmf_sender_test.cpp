// SPDX-License-Identifier: Apache-2.0
// Tests of the telephone-event packets, in-band key tones and the digit queue (a digit's six
// event packets and the in-band keys' frequencies are checked from outside in rtp_interop's
// dtmf-events case and by spandsp's detector in its dtmf-inband case).
#include "media/dtmf_sender.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "codecs/g711.h"
#include "media/rtp_packet.h"
#include "platform/tick.h"

namespace quillet::media {
namespace {

struct SentPacket {
  std::vector<uint8_t> bytes;
  RtpPacketView view;
};

class RecordingStream : public RtpStream {
 public:
  void sendPacket(const uint8_t* bytes, size_t length) override {
    std::lock_guard lock(mutex);
    SentPacket packet{std::vector<uint8_t>(bytes, bytes + length), {}};
    readRtpPacket(packet.bytes.data(), packet.bytes.size(), packet.view);
    sent.push_back(std::move(packet));
  }
  std::vector<SentPacket> take() {
    std::lock_guard lock(mutex);
    return sent;
  }
  std::mutex mutex;
  std::vector<SentPacket> sent;
};

class DtmfTest : public ::testing::Test {
 protected:
  DtmfTest() {
    sender.setListener([this] {
      std::lock_guard lock(mutex);
      ++empties;
      emptied.notify_all();
    });
  }
  // Waits for the sender's next report that its queue has run empty.
  void awaitEmpty() {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(emptied.wait_for(lock, std::chrono::seconds(20), [&] { return empties > seen; }));
    ++seen;
  }
  // Sends the digits and waits until the queue has run empty.
  void sendAndWait(uint8_t eventType, uint8_t voiceType, const std::string& digits) {
    sender.setPayloadTypes(eventType, voiceType, 97, 98);
    sender.Start();
    awaitEmpty();  // the first report comes at once (nothing queued yet)
    t0 = stream.timestamp();
    started = platform::tickMs();
    sender.sendDigits(digits);
    awaitEmpty();
    finished = platform::tickMs();
    sender.Stop();
  }
  RecordingStream stream;
  DtmfSender sender{stream};
  std::mutex mutex;
  std::condition_variable emptied;
  int empties = 0;
  int seen = 0;
  uint32_t t0 = 0;
  uint32_t started = 0;
  uint32_t finished = 0;
};

TEST_F(DtmfTest, EventCodesAndUnknownCharacters) {
  sendAndWait(101, 0, "#!X");
  auto sent = stream.take();
  ASSERT_EQ(sent.size(), 12u);
  EXPECT_EQ(sent[0].bytes[12], 11);
  EXPECT_EQ(sent[6].bytes[12], 16);
  // "X" sent nothing but took its 200 ms; three digits moved the timestamp 4800.
  EXPECT_GE(platform::tickDiff(finished, started), 599);
  EXPECT_EQ(stream.timestamp(), t0 + 4800);
}

TEST_F(DtmfTest, InBandDigitIsEightVoicePacketsOfTheTone) {
  uint16_t firstSequence = stream.sequence();
  sendAndWait(255, 0, "1A");
  auto sent = stream.take();
  ASSERT_EQ(sent.size(), 16u);
  for (size_t k = 0; k < 8; ++k) {
    ASSERT_EQ(sent[k].bytes.size(), 172u);
    EXPECT_EQ(sent[k].view.header.marker, k == 0);
    EXPECT_EQ(sent[k].view.header.payloadType, 0);
    EXPECT_EQ(sent[k].view.header.sequence, static_cast<uint16_t>(firstSequence + k));
    EXPECT_EQ(sent[k].view.header.timestamp, t0 + 160 * k);
  }
  // "A" has no tone: encoded silence (the keys' tones are spandsp's to detect).
  for (size_t k = 8; k < 16; ++k) {
    for (size_t i = 12; i < 172; ++i) ASSERT_EQ(sent[k].bytes[i], codecs::muLawEncode(0));
    EXPECT_EQ(sent[k].view.header.timestamp, t0 + 1600 + 160 * (k - 8));
  }
  EXPECT_EQ(stream.timestamp(), t0 + 3200);
  // G.726 packets of a key carry no payload, GSM ones a 33-byte frame.
  for (auto [voiceType, size] : {std::pair<uint8_t, size_t>{97, 12}, {98, 12}, {3, 45}}) {
    stream.sent.clear();
    sendAndWait(255, voiceType, "2");
    auto packets = stream.take();
    ASSERT_EQ(packets.size(), 8u);
    for (const auto& packet : packets) EXPECT_EQ(packet.bytes.size(), size) << int{voiceType};
  }
}

TEST_F(DtmfTest, ExcessDigitsAreDroppedNotWrapped) {
  sender.setPayloadTypes(101, 0, 97, 98);
  // Not started: the queue fills to 259 and the rest is dropped.
  std::string digits;
  for (int i = 0; i < 300; ++i) digits += kEventTable[i % 17];
  sender.sendDigits(digits);
  EXPECT_EQ(sender.queued(), 259u);
  sender.sendDigits("9");  // still full
  EXPECT_EQ(sender.queued(), 259u);
  // Clearing empties it; a new digit goes in again and is the only one sent.
  sender.clearQueue();
  EXPECT_EQ(sender.queued(), 0u);
  sender.sendDigits("1");
  sender.Start();
  awaitEmpty();
  sender.Stop();
  auto sent = stream.take();
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(sent[0].bytes[12], 1);
}

}  // namespace
}  // namespace quillet::media
