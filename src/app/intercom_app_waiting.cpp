// SPDX-License-Identifier: Apache-2.0
// IntercomApp's call waiting: a phone call that arrives while the line's call is up rings
// on the line's second engine (a quiet tone in the call's audio, the window lists it);
// answering it holds the line's call, and a resume switches between the two.
#include <utility>

#include "app/intercom_app.h"
#include "app/intercom_app_shared.h"
#include "base/log.h"

namespace quillet::app {

namespace {

media::HoldSound holdSound() {
  return settings().readInt("Settings", "HoldTone", 1) != 0 ? media::HoldSound::Tone
                                                            : media::HoldSound::Silence;
}

bool connected(const sip::SipEngine* engine) {
  return engine != nullptr && engine->callState() == sip::kCallConnected;
}

}  // namespace

sip::IncomingScreen IntercomApp::screenWaiting(const sip::SipEngine& engine,
                                               const sip::IncomingCallFacts& facts,
                                               const std::string& callerAddress) {
  if (!settings().readBool("Settings", "CallWaiting", true)) {
    base::logError("Busy (call waiting is off) - reject incoming call from: " + callerAddress);
    return {486, {}};
  }
  if (!lineCallUp_.load()) {
    base::logError("Busy - reject incoming call from: " + callerAddress);
    return {486, {}};
  }
  return screenIncoming(engine, facts, callerAddress);
}

int IntercomApp::onWaitingRing(LineSlot& slot, int32_t ring) {
  sip::SipEngine* second = slot.second();
  if (second == nullptr || closing_ || ring != 1 || second->callState() != sip::kCallIncoming) {
    return 0;
  }
  const IncomingVerdict verdict = judgeIncoming(*second);
  if (verdict.decision != IncomingDecision::PhoneCall || !slot.connected) {
    // An intercom call answers by itself: while a call is up the line is busy for it.
    base::logError("Busy - reject incoming call from: " + second->remoteUri());
    second->Refuse(486);
    return 0;
  }
  waitingCall_ = true;
  waitingCallUp_ = true;
  waitingRecord_ = newCallRecord(*second, true, false);
  base::logCallDecision("Call waiting: " + second->remoteUri() +
                        " rings while a call is up (answer puts the call on hold)");
  window_->show();
  setWaitingTone(true);
  showCalls();
  return 0;
}

bool IntercomApp::hasWaitingCall() const {
  sip::SipEngine* second = slot_ != nullptr ? slot_->second() : nullptr;
  return waitingCall_ && second != nullptr && second->IsInCall() != 0;
}

bool IntercomApp::answerWaitingCall() {
  sip::SipEngine* second = slot_ != nullptr ? slot_->second() : nullptr;
  if (!waitingCall_ || second == nullptr || second->callState() != sip::kCallIncoming || closing_) {
    return false;
  }
  setWaitingTone(false);
  stopRingSound();  // rung when the line's call ended meanwhile
  sip::SipEngine* first = slot_->engine();
  if (connected(first) && !first->heldHere()) {
    first->SetHold(true, holdSound());
  }
  if (second->Answer() == 0) {
    return false;
  }
  base::logCallDecision("Answering the waiting call; the other call is held");
  return true;
}

bool IntercomApp::refuseWaitingCall() {
  sip::SipEngine* second = slot_ != nullptr ? slot_->second() : nullptr;
  if (!waitingCall_ || second == nullptr || second->callState() != sip::kCallIncoming) {
    return false;
  }
  base::logCallDecision("Refusing the waiting call");
  if (waitingRecord_) {
    waitingRecord_->endReason = "refused";
  }
  setWaitingTone(false);
  stopRingSound();
  second->HangUp();
  return true;
}

sip::SipEngine* IntercomApp::activeEngine() {
  if (slot_ == nullptr) {
    return nullptr;
  }
  sip::SipEngine* first = slot_->engine();
  sip::SipEngine* second = slot_->second();
  if (connected(second) && !second->heldHere()) {
    return second;
  }
  if (first != nullptr && first->IsInCall() != 0) {
    return first;
  }
  return second != nullptr && second->IsInCall() != 0 ? second : first;
}

// Hold: the active call. Resume: the line's call when it is held, else the second; the
// other call, when up and not held, is held (a switch), and the audio goes to the resumed one.
std::optional<std::string> IntercomApp::holdWithWaiting(bool hold) {
  if (!hasWaitingCall() || !connected(slot_->second())) {
    return std::nullopt;  // one call: the line's hold as ever
  }
  sip::SipEngine* first = slot_->engine();
  sip::SipEngine* second = slot_->second();
  if (hold) {
    sip::SipEngine* active = activeEngine();
    if (!connected(active) || active->heldHere()) {
      return std::string("the call is on hold already");
    }
    active->SetHold(true, holdSound());
    return std::string();
  }
  sip::SipEngine* target = connected(first) && first->heldHere() ? first : second;
  if (!target->heldHere()) {
    return std::string("the call is not on hold");
  }
  sip::SipEngine* other = target == first ? second : first;
  if (connected(other) && !other->heldHere()) {
    other->SetHold(true, holdSound());
  }
  base::logInfo(other != nullptr && connected(other) ? "Switching to the held call"
                                                     : "Resuming the held call");
  target->SetHold(false);
  routeAudioTo(*target, true);
  return std::string();
}

// Ready whatever Settings/CallWaiting says now: the screen reads it when a call comes.
void IntercomApp::keepWaitingReady() {
  if (slot_ != nullptr && transport_ != nullptr && !closing_ && slot_->connected) {
    slot_->prepareWaiting(*transport_, trace_.get());
  }
}

void IntercomApp::setWaitingTone(bool on) {
  waitingTone_->store(on);
}

void IntercomApp::showCalls() {
  std::vector<CallEntry> calls;
  if (hasWaitingCall() && !closing_) {
    auto entry = [](const sip::SipEngine& engine) {
      const CallShown state = engine.callState() == sip::kCallIncoming ? CallShown::Waiting
                              : engine.heldHere()                      ? CallShown::Held
                                                                       : CallShown::Active;
      return CallEntry{engine.remoteUri(), state};
    };
    if (connected(slot_->engine())) {
      calls.push_back(entry(*slot_->engine()));
    }
    calls.push_back(entry(*slot_->second()));
  }
  window_->showCalls(calls);
}

// The second call ended: when it had the audio, a held line's call stays held (the user
// resumes it) and an active one gets the audio back; else the line's call goes on as it is.
void IntercomApp::waitingCallEnded(LineSlot& slot) {
  waitingCall_ = false;
  waitingCallUp_ = false;
  setWaitingTone(false);
  if (waitingRecord_) {
    writeCallRecord(*std::exchange(waitingRecord_, std::nullopt), waitingAnsweredAt_);
  }
  sip::SipEngine* first = slot.engine();
  if (audioOnSecond_ && connected(first) && !first->heldHere() && !closing_) {
    routeAudioTo(*first, true);
  } else if (audioOnSecond_) {
    recorder_.Stop();
    player_.Stop();
    audioOnSecond_ = false;
  }
  showCalls();
}

}  // namespace quillet::app
