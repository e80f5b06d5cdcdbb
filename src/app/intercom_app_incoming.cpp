// SPDX-License-Identifier: Apache-2.0
// IntercomApp's incoming calls: the ring and its sound, screening and judging the caller,
// refusing, answering an intercom call by itself or a phone call by the user, the
// talk-back question, the calling sound of an outgoing call and the ringback tone of a
// phone call.
#include <sys/mman.h>
#include <unistd.h>

#include "app/allow_list.h"
#include "app/intercom_app.h"
#include "app/intercom_app_shared.h"
#include "app/ui_text.h"
#include "audio/converters.h"
#include "audio/wave_file.h"
#include "base/log.h"
#include "media/ringback_tone.h"
#include "sip/sip_uri.h"

namespace quillet::app {

namespace {

constexpr uint32_t kRingWaitLimitMs = 5000;

// The built-in ring sound as a source, through an anonymous in-memory file.
audio::SourceRef ringSoundSource() {
  const int fd = memfd_create("quillet-ring", MFD_CLOEXEC);
  if (fd < 0) {
    return {};
  }
  const auto bytes = audio::RingSound();
  if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
      ::lseek(fd, 0, SEEK_SET) != 0) {
    ::close(fd);
    return {};
  }
  return audio::OpenWaveFd(fd);
}

}  // namespace

int IntercomApp::onRing(LineSlot& slot, int32_t ring, int32_t /*previousRing*/) {
  sip::SipEngine* engine = slot.engine();
  if (engine == nullptr || closing_) {
    return 0;
  }
  window_->show();
  if (ring == 1) {
    incoming_ = judgeIncoming(*engine);
    beginCallRecord(*engine, true, incoming_.decision != IncomingDecision::PhoneCall);
  }
  if (refuseIncoming(*engine)) {
    return 0;
  }
  ringingCaller_ = engine->remoteUri();
  if (ring == 1) {
    ++incomingCall_;
    answerAfterRing_ = true;
  }
  if (!startRingSound()) {
    ringFinished();  // no sound to wait for
  }
  return 0;
}

bool IntercomApp::startRingSound() {
  if (ringPlayer_.playing()) {
    return true;  // the sound already playing serves this ring too
  }
  audio::SourceRef ring = ringSoundSource();
  if (ring->isNull()) {
    return false;
  }
  // A player of its own, so that the call's player is not disturbed.
  ringPlayer_.SetDevice(settings().readText("Settings", "PlayDevice"));
  if (ringPlayer_.Start(ring) == 0) {
    return false;
  }
  env_.loop.startTimer(kRingTimer, kRingWaitLimitMs, [this] { ringFinished(); });
  return true;
}

void IntercomApp::stopRingSound() {
  answerAfterRing_ = false;
  env_.loop.killTimer(kRingTimer);
  ringPlayer_.Stop();
}

// The ring sound has played (or its time limit passed): the first ring of the call that
// is still ringing goes on to its answer now.
void IntercomApp::ringFinished() {
  env_.loop.killTimer(kRingTimer);
  const bool answer = answerAfterRing_;
  answerAfterRing_ = false;
  ringPlayer_.Stop();
  if (!answer || closing_ || slot_ == nullptr || slot_->engine() == nullptr) {
    return;
  }
  LineSlot& slot = *slot_;
  sip::SipEngine& engine = *slot.engine();
  if (engine.callState() != sip::kCallIncoming) {
    return;
  }
  if (incoming_.decision == IncomingDecision::PhoneCall) {
    base::logCallDecision("Incoming call rings until answered (" + incoming_.reason + ")");
    window_->setCallEncryption(engine.mediaEncryption());
    window_->noteIncomingCall(ringingCaller_);
    return;
  }
  if (incoming_.delaySeconds > 0) {
    const uint64_t call = incomingCall_;
    env_.loop.startTimer(
        kAnswerDelayTimer, static_cast<uint32_t>(incoming_.delaySeconds) * 1000, [this, call] {
          if (call == incomingCall_ && slot_ != nullptr && slot_->engine() != nullptr) {
            answerIntercom(*slot_, *slot_->engine());
          }
        });
    return;
  }
  answerIntercom(slot, engine);
}

sip::IncomingScreen IntercomApp::screenIncoming(const sip::SipEngine& engine,
                                                const sip::IncomingCallFacts& facts,
                                                const std::string& callerAddress) {
  if (waitingCallUp_.load()) {
    // The line's call ended while a call that came in waiting goes on: the line is busy.
    base::logError("Busy - reject incoming call from: " + callerAddress);
    return {486, {}};
  }
  IncomingContext context;
  context.callerAddress = callerAddress;
  context.doNotDisturb = doNotDisturb();
  context.lineRegistered = !engine.line().server.empty();
  // The contacts belong to the GUI thread: the source counts as known here, which can only
  // pass a call on to the full decision of its first ring.
  context.sourceKnown = true;
  const IncomingVerdict verdict = decideIncoming(settings(), facts, context);
  switch (verdict.decision) {
    case IncomingDecision::Refuse:
      base::logCallDecision("Rejecting intercom call because not on the allow list");
      return {487, {}};
    case IncomingDecision::Forbid:
      base::logCallDecision("Refusing a call that requires auto-answer (" + verdict.reason + ")");
      return {403, manualAnswerHeader(facts.autoAnswer)};
    case IncomingDecision::Busy:
      base::logError("DND is on - reject incoming call from: " + callerAddress);
      return {480, {}};
    default:
      return {};
  }
}

IncomingVerdict IntercomApp::judgeIncoming(sip::SipEngine& engine) {
  const sip::IncomingCallFacts& facts = engine.incomingFacts();
  IncomingContext context;
  context.callerAddress = engine.remoteUri();
  context.doNotDisturb = doNotDisturb();
  context.lineRegistered = !engine.line().server.empty();
  context.sourceKnown = isKnownSource(facts.sourceHost);
  return decideIncoming(settings(), facts, context);
}

// Whether the host is that of a contact's address or is written in the allow list.
bool IntercomApp::isKnownSource(const std::string& host) {
  if (host.empty()) {
    return false;
  }
  if (allowListNamesHost(settings(), host)) {
    return true;
  }
  for (const auto& row : rows_) {
    if (contacts_->seek(row.position) && sip::parseUri(contacts_->numberAtCursor()).host == host) {
      return true;
    }
  }
  return false;
}

// Refuses the ringing call when the decision says so; true when it did.
bool IntercomApp::refuseIncoming(sip::SipEngine& engine) {
  switch (incoming_.decision) {
    case IncomingDecision::Busy:
      base::logError("DND is on - reject incoming call from: " + engine.remoteUri());
      noteCallEndReason("do not disturb");
      engine.Refuse(480);
      return true;
    case IncomingDecision::Forbid:
      base::logCallDecision("Refusing a call that requires auto-answer (" + incoming_.reason + ")");
      noteCallEndReason("answer mode refused");
      engine.Refuse(403, manualAnswerHeader(engine.incomingFacts().autoAnswer));
      return true;
    case IncomingDecision::Refuse:
      base::logCallDecision("Rejecting intercom call because not on the allow list");
      noteCallEndReason("not on the allow list");
      engine.HangUp();
      return true;
    default:
      return false;
  }
}

// Answers an intercom call by itself: the caller is heard at once (after the cue), and the
// user is asked whether to talk back.
void IntercomApp::answerIntercom(LineSlot& slot, sip::SipEngine& engine) {
  if (slot.engine() != &engine || engine.callState() != sip::kCallIncoming) {
    return;
  }
  window_->show();
  slot.pending = true;
  cueNext_ = settings().readBool("Intercom", "Cue", true);
  engine.AnswerAutomatically();
  // Asked from a task of its own: its nested loop must not run below the engine's event.
  const uint64_t call = incomingCall_;
  // The task may outlive the application (a loop run after it is gone): it holds a token.
  env_.loop.post([this, call, alive = std::weak_ptr<int>(alive_)] {
    if (alive.lock() != nullptr) {
      askTalkBack(call);
    }
  });
}

void IntercomApp::askTalkBack(uint64_t call) {
  if (closing_ || call != incomingCall_) {
    return;  // that call has ended already
  }
  const platform::Prompt question{
      QUILLET_UI_TEXT("app", "Incoming Call"),
      QUILLET_UI_TEXT("app",
                      "Incoming SIP call was detected.\nWould you like to start conversation ?"),
      platform::PromptButtons::YesNo, platform::PromptIcon::Question, kTalkBackTag};
  const platform::PromptAnswer answer = env_.prompts.ask(question);
  // The question waited in a nested loop: the call may have ended, the line been rebuilt
  // or the program be closing by now.
  if (closing_ || call != incomingCall_ || slot_ == nullptr || slot_->engine() == nullptr) {
    return;
  }
  LineSlot& slot = *slot_;
  sip::SipEngine& engine = *slot.engine();
  if (answer == platform::PromptAnswer::Yes) {
    base::logCallDecision("Press \"Intercom\" button to stop call");
    if (slot.connected) {
      env_.loop.post([this] { command(kCommandIntercomDown); });
    } else {
      // Answered before the call is up (a question answered at once): the microphone
      // can only be turned on into an established call.
      slot.talkBackWhenConnected = true;
    }
  } else if (answer == platform::PromptAnswer::No) {
    base::logCallDecision("Rejecting intercom call");
    noteCallEndReason("refused");
    engine.HangUp();
  }
}

// The user answers a call that rings as a phone call: the microphone goes on once it is up.
bool IntercomApp::answerPhoneCall(LineSlot& slot, sip::SipEngine& engine) {
  if (slot.pending || engine.callState() != sip::kCallIncoming || engine.Answer() == 0) {
    return false;
  }
  env_.loop.killTimer(kAnswerDelayTimer);
  slot.pending = true;
  slot.talkBackWhenConnected = true;
  currentSlot_ = 0;
  return true;
}

// While the far end is being called, "Calling.wav" of the System Tones folder plays over
// and over on this side's speaker, through the call's Player (the call's audio replaces it
// once answered).
void IntercomApp::playCallingSound() {
  const std::string path = env_.paths.tonesDir() + "/Calling.wav";
  audio::SourceRef sound = audio::OpenWaveFile(path);
  if (sound->isNull()) {
    base::logInfo("Cannot find system file: " + path);
    return;
  }
  const uint32_t lengthMs =
      static_cast<uint32_t>(static_cast<uint64_t>(sound->Length()) * 1000 / sound->rate());
  audio::SourceRef looped = audio::MakeLoopSource(0, lengthMs, sound);
  if (echo_) {
    looped = (*echo_)->tap(looped);
  }
  player_.SetDevice(settings().readText("Settings", "PlayDevice"));
  player_.SetBlocks(100, audio::kPlaybackBlocks);
  player_.SetLive(false);
  player_.Start(looped);
}

// A phone call being placed: the ringback tone, made here as the hold tone is, until the
// far end's early media or its answer replace it (a plain phone call has no calling sound).
void IntercomApp::playRingback() {
  player_.Stop();
  player_.SetDevice(settings().readText("Settings", "PlayDevice"));
  player_.SetBlocks(100, audio::kPlaybackBlocks);
  player_.SetLive(false);
  player_.Start(media::MakeRingbackSource());
}

}  // namespace quillet::app
