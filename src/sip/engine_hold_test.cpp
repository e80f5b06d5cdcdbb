// SPDX-License-Identifier: Apache-2.0
// Hold and resume on a connected call with a hand-written far end: the engine's own hold
// survives a refusal, tries again after 491, honours the direction of the answer and offers
// inactive when the far end holds already. (The far end's holds are hold_e2e's.)
#include <gtest/gtest.h>

#include <string>

#include "sip/far_end_test_util.h"
#include "sip/sip_engine.h"

namespace quillet::sip {
namespace {

using namespace std::chrono_literals;
using namespace testutil;

constexpr const char* kCallId = "hold-1";

class HoldTest : public EngineFixture {
 protected:
  struct Counts : EngineEvents {
    void HoldChanged() override { ++holdChanges; }
    void Ended() override { ++ended; }
    int holdChanges = 0;
    int ended = 0;
  };

  void SetUp() override {
    EngineFixture::SetUp();
    start();
    auto events = std::make_unique<Counts>();
    seen_ = events.get();
    engine_->setEngineEvents(std::move(events));
    ok_ = connect(kCallId);
    ASSERT_FALSE(ok_.empty());
  }

  // The far end's SDP with a direction line (none when empty).
  static std::string farSdp(const std::string& direction, int version = 2) {
    const std::string address = "127.0.0.1";
    std::string sdp = "v=0\r\no=far 1 " + std::to_string(version) +
                      " IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 " + address +
                      "\r\nt=0 0\r\nm=audio 40000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";
    return direction.empty() ? sdp : sdp + "a=" + direction + "\r\n";
  }

  // The far end re-INVITEs with `sdp`; gives the engine's 200 (acknowledged), "" if none.
  std::string farReInvite(const std::string& sdp) {
    ++cseq_;
    std::string text = request("INVITE", enginePort_, far_.port(), "alice", kCallId, "", sdp);
    text.replace(text.find("CSeq: 1 INVITE"), 14, "CSeq: " + std::to_string(cseq_) + " INVITE");
    text.replace(text.find("To: <sip:alice@127.0.0.1>"), 25, "To: " + headerOf(ok_, "To"));
    const std::string branch = "z9hG4bK-" + std::string(kCallId);
    text.replace(text.find(branch), branch.size(), branch + "-" + std::to_string(cseq_));
    far_.send(enginePort_, text);
    const std::string answer = awaitMessage("SIP/2.0 200 OK");
    if (answer.empty()) return answer;
    std::string ack = ackOf(answer, enginePort_, far_.port(), kCallId);
    ack.replace(ack.find("CSeq: 1 ACK"), 11, "CSeq: " + std::to_string(cseq_) + " ACK");
    far_.send(enginePort_, ack);
    return answer;
  }

  // The engine's next re-INVITE (after a hold or resume command).
  std::string awaitReInvite() { return awaitMessage("INVITE sip:far@127.0.0.1:", 5s); }

  static bool says(const std::string& message, const std::string& direction) {
    return message.find("\r\na=" + direction + "\r\n") != std::string::npos;
  }

  Counts* seen_ = nullptr;
  std::string ok_;
  int cseq_ = 1;
};

// Our hold: refused with 488 the call goes on unheld; refused with 491 it is tried again
// (within the 2 s of the side that did not make the dialog); the answer's direction is
// taken, a far-end re-INVITE meanwhile is answered sendonly, and resume offers sendrecv.
TEST_F(HoldTest, OurHoldSurvivesRefusalRetriesAfterGlareAndResumes) {
  engine_->SetHold(true, media::HoldSound::Silence);
  std::string invite = awaitReInvite();
  ASSERT_FALSE(invite.empty());
  EXPECT_TRUE(says(invite, "sendonly")) << invite;
  far_.send(enginePort_, responseTo(invite, "488 Not Acceptable Here", "f1"));
  EXPECT_FALSE(awaitMessage("ACK ").empty());
  pumpUntil([] { return false; }, 300ms);
  EXPECT_EQ(engine_->callState(), kCallConnected);
  EXPECT_FALSE(engine_->heldHere());

  engine_->SetHold(true, media::HoldSound::Tone);
  invite = awaitReInvite();
  ASSERT_FALSE(invite.empty());
  far_.send(enginePort_, responseTo(invite, "491 Request Pending", "f1"));
  EXPECT_FALSE(awaitMessage("ACK ").empty());
  const auto refused = std::chrono::steady_clock::now();
  invite = awaitReInvite();
  ASSERT_FALSE(invite.empty());
  EXPECT_LT(std::chrono::steady_clock::now() - refused, 2500ms);
  EXPECT_TRUE(says(invite, "sendonly")) << invite;
  far_.send(enginePort_, responseTo(invite, "200 OK", "f1", "", farSdp("recvonly")));
  EXPECT_FALSE(awaitMessage("ACK ").empty());
  EXPECT_TRUE(pumpUntil([&] { return engine_->heldHere() && seen_->holdChanges == 1; }));
  EXPECT_FALSE(engine_->heldThere());

  std::string answer = farReInvite(farSdp("sendrecv", 3));
  EXPECT_TRUE(says(answer, "sendonly")) << answer;

  engine_->SetHold(false);
  invite = awaitReInvite();
  ASSERT_FALSE(invite.empty());
  EXPECT_TRUE(says(invite, "sendrecv")) << invite;
  far_.send(enginePort_, responseTo(invite, "200 OK", "f1", "", farSdp("sendrecv", 4)));
  EXPECT_FALSE(awaitMessage("ACK ").empty());
  EXPECT_TRUE(pumpUntil([&] { return !engine_->heldHere() && seen_->holdChanges == 2; }));
  EXPECT_EQ(seen_->ended, 0);
}

// Held by the far end first, our hold offers inactive.
TEST_F(HoldTest, HoldingACallTheFarEndHoldsOffersInactive) {
  EXPECT_TRUE(says(farReInvite(farSdp("sendonly")), "recvonly"));
  ASSERT_TRUE(pumpUntil([&] { return engine_->heldThere(); }));
  engine_->SetHold(true);
  const std::string invite = awaitReInvite();
  EXPECT_TRUE(says(invite, "inactive")) << invite;
  far_.send(enginePort_, responseTo(invite, "200 OK", "f1", "", farSdp("inactive", 3)));
  EXPECT_FALSE(awaitMessage("ACK ").empty());
  EXPECT_TRUE(pumpUntil([&] { return engine_->heldHere() && engine_->heldThere(); }));
}

TEST(RequestPendingWait, FollowsWhoMadeTheDialog) {
  EXPECT_EQ(requestPendingWaitMs(true, 0), 2100u);
  EXPECT_EQ(requestPendingWaitMs(true, 190), 4000u);
  EXPECT_EQ(requestPendingWaitMs(false, 0), 0u);
  EXPECT_EQ(requestPendingWaitMs(false, 200), 2000u);
  EXPECT_EQ(requestPendingWaitMs(false, 201), 0u);
}

}  // namespace
}  // namespace quillet::sip
