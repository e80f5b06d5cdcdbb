// SPDX-License-Identifier: Apache-2.0
// The engine's media requests over a call with a hand-written far end: playing a source
// into the call and its events, the call's streams taken over, and a call without an RTP
// port. (The program uses only the streams: playing and recording requests have no caller
// there, and the stream pump and recorder they run are tested in src/audio.)
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>

#include "audio/test_streams.h"
#include "sip/far_end_test_util.h"

namespace quillet::sip {
namespace {

using namespace std::chrono_literals;
using audio::teststreams::ArraySource;
using audio::teststreams::KeepSink;

using namespace testutil;

// Signalling without RTP, but with streams the test controls: what the engine sends goes
// into a sink the test reads, the far end's audio comes from a source the test makes.
class StreamMedia : public CallMedia {
 public:
  struct Shared {
    audio::StreamRef<KeepSink> sent = audio::makeStream<KeepSink>(8000, 1);
    std::function<audio::SourceRef()> received = [] { return audio::SourceRef(); };
    std::atomic<bool> noPort{false};  // as when the process has no descriptor left for a socket
  };
  explicit StreamMedia(std::shared_ptr<Shared> shared)
      : inner_(makeSignallingOnlyMedia("127.0.0.1")), shared_(std::move(shared)) {}
  bool openPort(const PortOpening& opening) override {
    return !shared_->noPort && inner_->openPort(opening);
  }
  std::string makeOffer(media::MediaDirection direction) override {
    return inner_->makeOffer(direction);
  }
  bool takeOffer(std::string_view body, media::MediaDirection wanted,
                 std::string& answer) override {
    return inner_->takeOffer(body, wanted, answer);
  }
  media::MediaDirection peerDirection() const override { return inner_->peerDirection(); }
  bool takeAnswer(std::string_view body) override { return inner_->takeAnswer(body); }
  void start() override { inner_->start(); }
  void stop() override { inner_->stop(); }
  std::string capabilityOffer() override { return inner_->capabilityOffer(); }
  audio::SinkRef sendingStream() override { return shared_->sent; }
  audio::SourceRef receivingStream() override { return shared_->received(); }

 private:
  std::unique_ptr<CallMedia> inner_;
  std::shared_ptr<Shared> shared_;
};

class MediaEvents : public EngineEvents {
 public:
  void PlaybackFailed() override {
    ++playbackFailed;
    if (hangUp) EngineEvents::PlaybackFailed();
  }
  void RecordingStopped() override { ++recordingStopped; }
  void PlaybackPosition(int32_t value) override { playbackPositions.push_back(value); }
  void Ended() override { ++ended; }

  bool hangUp = false;
  int playbackFailed = 0;
  int recordingStopped = 0;
  int ended = 0;
  std::vector<int32_t> playbackPositions;
};

// A tone of `ms` at 8000 Hz mono, well above any start level used here.
audio::StreamRef<ArraySource> tone(uint32_t ms, bool live = false) {
  auto source = audio::makeStream<ArraySource>(
      8000, 1, audio::teststreams::sine(440, 8000, ms * 8, 0.5 * audio::kProgramPeakRange));
  source->live = live;
  return source;
}

class EngineMediaTest : public EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    start(lineOf("alice"), std::make_unique<StreamMedia>(media_));
    auto events = std::make_unique<MediaEvents>();
    events_ = events.get();
    engine_->setEngineEvents(std::move(events));
  }
  void connect() { ASSERT_FALSE(EngineFixture::connect("media-1").empty()); }

  std::shared_ptr<StreamMedia::Shared> media_ = std::make_shared<StreamMedia::Shared>();
  MediaEvents* events_ = nullptr;
};

TEST_F(EngineMediaTest, PlayingAFiniteSourceSendsItAllThenReportsPlaybackFailed) {
  // Not in a call: nothing to play into.
  engine_->PlayIntoCall(tone(100));
  EXPECT_EQ(events_->playbackFailed, 1);
  EXPECT_FALSE(engine_->playing());

  connect();
  auto source = tone(800);
  engine_->PlayIntoCall(source);
  EXPECT_TRUE(engine_->playing());
  ASSERT_TRUE(pumpUntil([&] { return events_->playbackFailed == 2; }));
  EXPECT_FALSE(engine_->playing());
  // Every sample went to the far end, and the last position reported is the source's end.
  EXPECT_EQ(media_->sent->position(), 6400u);
  EXPECT_EQ(media_->sent->data, source->data);
  ASSERT_GE(events_->playbackPositions.size(), 2u);
  EXPECT_EQ(events_->playbackPositions.front(), 0);
  EXPECT_EQ(events_->playbackPositions.back(), 800);
  EXPECT_TRUE(std::is_sorted(events_->playbackPositions.begin(), events_->playbackPositions.end()));
  EXPECT_EQ(engine_->callState(), kCallConnected);  // these events do not hang up

  // With the default reaction the end of the source ends the call.
  events_->hangUp = true;
  engine_->PlayIntoCall(tone(200));
  EXPECT_FALSE(awaitMessage("BYE ").empty());
  EXPECT_EQ(events_->playbackFailed, 3);
  EXPECT_TRUE(pumpUntil([&] { return events_->ended == 1; }));
}

// The program takes the call's streams for its own audio: that stops what the engine was
// playing or recording, silently.
TEST_F(EngineMediaTest, TakingTheCallsStreamsEndsPlayingAndRecordingSilently) {
  connect();
  media_->received = [] { return audio::SourceRef(tone(1000, true)); };
  engine_->PlayIntoCall(tone(500, true));
  EXPECT_TRUE(engine_->playing());
  EXPECT_FALSE(engine_->SendingStream().isNull());
  EXPECT_FALSE(engine_->playing());
  engine_->RecordCall(audio::makeStream<KeepSink>(8000, 1), 0, -40, 10000);
  EXPECT_EQ(engine_->IsRecording(), 1);
  EXPECT_FALSE(engine_->ReceivingStream().isNull());
  EXPECT_EQ(engine_->IsRecording(), 0);
  EXPECT_EQ(engine_->recordingMode(), SipEngine::kNotRecording);
  loop_.runPending();
  EXPECT_EQ(events_->playbackFailed + events_->recordingStopped, 0);
  EXPECT_EQ(engine_->callState(), kCallConnected);
}

TEST_F(EngineMediaTest, ACallWithoutAnRtpPortIsRefusedOrNotPlaced) {
  media_->noPort = true;
  far_.send(enginePort_,
            request("INVITE", enginePort_, far_.port(), "alice", "media-2", "", kOffer, kFarFrom));
  // Refused at once rather than answered into silence.
  const std::string refusal = awaitMessage("SIP/2.0 503");
  ASSERT_FALSE(refusal.empty());
  far_.send(enginePort_, ackOf(refusal, enginePort_, far_.port(), "media-2", kFarFrom));
  ASSERT_TRUE(pumpUntil([&] { return engine_->callState() == kCallIdle; }));

  // A call out sends no INVITE that would offer a port nobody listens on.
  ASSERT_EQ(engine_->Dial("bob@127.0.0.1:" + std::to_string(far_.port())), 1);
  EXPECT_TRUE(awaitMessage("INVITE ", 1000ms).empty());
  EXPECT_TRUE(pumpUntil([&] { return engine_->callState() == kCallIdle; }));
}

}  // namespace
}  // namespace quillet::sip
