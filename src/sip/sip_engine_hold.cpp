// SPDX-License-Identifier: Apache-2.0
// SipEngine's hold and resume: the re-INVITE that puts the call on hold or takes it off,
// and what the far end's offers and answers say of its own hold.
#include <random>

#include "sip/sip_engine.h"
#include "sip/sip_log.h"

namespace quillet::sip {

namespace {

// Tries of one hold or resume that the far end refuses with 491 (glare).
constexpr int32_t kHoldAttempts = 3;

std::string statusText(const InviteOutcome& outcome) {
  std::string text = std::to_string(outcome.status);
  if (outcome.response && !outcome.response->reason.empty()) {
    text += " " + outcome.response->reason;
  }
  return text;
}

}  // namespace

void SipEngine::SetHold(bool hold, media::HoldSound sound) {
  holdSound_ = sound;
  command_ = hold ? kCommandHold : kCommandResume;
  commandEvent_.set();
}

media::MediaDirection SipEngine::wantedDirection() const {
  return heldHere_ ? media::MediaDirection::SendOnly : media::MediaDirection::SendRecv;
}

void SipEngine::noteFarDirection() {
  const bool held = !media::receives(media_->peerDirection());
  if (heldThere_.exchange(held) == held) return;
  sipLogInfo(held ? "Call held by the far end" : "Call resumed by the far end");
  postNotify();
}

bool SipEngine::changeHold(bool hold) {
  if (hold == heldHere_) return true;
  sipLogInfo(hold ? "Putting the call on hold..." : "Resuming the call...");
  const DialogSide side = genericSide(*call_);
  std::random_device random;
  for (int32_t attempt = 1;; ++attempt) {
    // Holding a call the far end holds already offers nothing either way; resuming offers
    // both ways, and an answer that still holds on the far side says so.
    const media::MediaDirection offer =
        !hold ? media::MediaDirection::SendRecv
              : (heldThere_ ? media::MediaDirection::Inactive : media::MediaDirection::SendOnly);
    offerPending_ = true;  // an UPDATE with an offer meanwhile is answered 491
    const InviteOutcome outcome = reInvite(side, media_->makeOffer(offer));
    offerPending_ = false;
    if (outcome.status == 491 && attempt < kHoldAttempts) {
      const uint32_t wait = requestPendingWaitMs(call_->createdHere, random());
      sipLogInfo("The far end has a request pending (491); trying again in " +
                 std::to_string(wait) + " ms");
      if (!waitAnswering(side, wait)) return call_->established && !stopRequested();
      continue;
    }
    if (outcome.is2xx()) {
      acknowledge(side, outcome);
      if (!media_->takeAnswer(outcome.sdp())) {
        sipLogError(
            "The far end's answer to the re-INVITE cannot be used; the call goes on "
            "as before");
        return true;
      }
      heldHere_ = hold;
      media_->setHoldSound(hold ? holdSound_.load() : media::HoldSound::None);
      sipLogInfo(hold ? "Call held" : "Call resumed");
      noteFarDirection();
      postNotify();
      return true;
    }
    // 487: the dialog ended while the re-INVITE waited; 481: the far end no longer knows it.
    if (outcome.status == 487 || outcome.status == 481 || !call_->established) {
      sipLogInfo("The call ended during the re-INVITE (" + statusText(outcome) + ")");
      return false;
    }
    sipLogInfo(std::string(hold ? "The hold" : "The resume") + " was refused or not answered (" +
               statusText(outcome) + "); the call goes on as before");
    return true;
  }
}

}  // namespace quillet::sip
