// SPDX-License-Identifier: Apache-2.0
// IntercomApp: start-up and closing, the contact list and volumes, the window's commands,
// do-not-disturb and intercom call control. (Incoming calls: intercom_app_incoming.cpp;
// the control socket's call commands, the command line and hot keys:
// intercom_app_commands.cpp.)
#include "app/intercom_app.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <ctime>

#include "app/intercom_app_shared.h"
#include "app/ui_text.h"
#include "audio/auto_gain.h"
#include "audio/converters.h"
#include "audio/cue_tone.h"
#include "audio/echo_settings.h"
#include "audio/echo_suppressor.h"
#include "audio/noise_suppressor.h"
#include "audio/volume.h"
#include "audio/wave_file.h"
#include "base/log.h"
#include "base/settings_store.h"
#include "base/worker_thread.h"
#include "contacts/contact_text.h"
#include "contacts/ini_file.h"
#include "platform/paths.h"
#include "sip/sip_templates.h"
#include "sip/sip_uri.h"

namespace quillet::app {

namespace {

constexpr uint32_t kRecorderCookie = 1;
constexpr uint32_t kPlayerCookie = 2;
constexpr uint32_t kRingCookie = 3;
constexpr uint32_t kBannerFirstMs = 1000;
constexpr uint32_t kBannerMs = 8000;
constexpr int32_t kTransportReadyMs = 3000;

const std::array<const char*, 6> kBanners = {
    QUILLET_UI_TEXT("app", "Quillet: press Intercom and speak"),
    QUILLET_UI_TEXT("app", "Your first word reaches the far end, even while it rings"),
    QUILLET_UI_TEXT("app", "Allowed callers are answered on the first ring"),
    QUILLET_UI_TEXT("app", "Do Not Disturb refuses every incoming call"),
    QUILLET_UI_TEXT("app", "Quillet runs in the background to receive intercoms"),
    QUILLET_UI_TEXT("app", "Contacts can be imported from CSV files"),
};

// The Player's play position as the echo suppressor follows it.
class PlayerPosition : public audio::PlayPosition {
 public:
  explicit PlayerPosition(const audio::Player& player) : player_(player) {}
  uint32_t playPosition() const override { return player_.playPosition(); }
  uint32_t playPositionTick() const override { return player_.positionTick(); }
  uint32_t playRate() const override { return player_.rate(); }

 private:
  const audio::Player& player_;
};

// The Player's device queue, as a call's source keeps it short.
class PlayerQueue : public audio::PlaybackQueue {
 public:
  explicit PlayerQueue(const audio::Player& player) : player_(player) {}
  uint32_t queuedFrames() const override { return player_.liveQueuedFrames(); }
  uint32_t neededFrames() const override { return player_.liveNeededFrames(); }

 private:
  const audio::Player& player_;
};

}  // namespace

IntercomApp::IntercomApp(base::AppEnvironment& environment, std::unique_ptr<AppWindow> window)
    : env_(environment),
      window_(std::move(window)),
      recorder_(environment.loop),
      player_(environment.loop),
      ringPlayer_(environment.loop) {
  playerPosition_ = std::make_unique<PlayerPosition>(player_);
  playerQueue_ = std::make_unique<PlayerQueue>(player_);
  recorder_.SetListener(this, kRecorderCookie);
  player_.SetListener(this, kPlayerCookie);
  ringPlayer_.SetListener(this, kRingCookie);
  contacts_ = contacts::createContactStore();
  base::SettingsStore& store = settings();
  const bool traceOn = store.readBool("Settings", "SipTraceOn", false);
  const bool traceAudio = traceOn && store.readBool("Settings", "SipTraceAudioOn", false);
  trace_ = std::make_unique<sip::SipTrace>(env_.paths.logsDir(), traceOn, traceAudio);
  transport_ = std::make_unique<sip::SipTransport>(trace_.get());
  transport_->setProblemHandler(
      [this, alive = std::weak_ptr<int>(alive_)](const std::string& problem) {
        env_.loop.post([this, alive, problem] {
          if (alive.expired() || window_ == nullptr) return;
          if (problem.empty()) {
            window_->noteLineRegistered();
          } else {
            window_->showLineProblem(problem);
          }
        });
      });
  watchVoicemail();
  sip::setUserAgent(store.readText("SIP", "UserAgent"));
  const std::string address = store.readText("SIP", "LocalAddress");
  if (!address.empty()) {
    // A fixed local address, for hosts with several interfaces.
    transport_->setPrivateAddressSource([address] { return address; });
  }
}

IntercomApp::~IntercomApp() {
  shutDown();
  recorder_.SetListener(nullptr, 0);
  player_.SetListener(nullptr, 0);
  ringPlayer_.SetListener(nullptr, 0);
}

// --- Start-up and closing -----------------------------------------------------------------

bool IntercomApp::initialise() {
  base::SettingsStore& store = settings();
  base::logInfo("Quillet Run");
  refillContacts();
  showCallHistory();
  window_->setDoNotDisturbButton(false);
  showVolumes();
  {
    const bool dnd = store.readBool("Settings", "DoNotDisturb", false);
    transport_->setDoNotDisturb(dnd);
    window_->setDoNotDisturbButton(dnd);
    window_->checkMenuItem(kCommandDoNotDisturb, dnd);
  }
  slot_ = std::make_unique<LineSlot>(*this, 0);
  slot_->buildEngine(*transport_, trace_.get());

  if (store.readBool("Settings", "InstallWizRun", false)) {
    env_.loop.post([this] { command(kCommandCheckLine); });
    transport_->restart();
  } else {
    store.writeBool("Settings", "InstallWizRun", true);
  }
  updateIntercomButton();
  if (store.readBool("Settings", "StartMinimized", false)) {
    env_.loop.startTimer(kHideTimer, 10, [this] { window_->hide(); });
  }
  armBannerTimer(kBannerFirstMs);
  showLineInStatus();
  window_->registerHotKeys();
  window_->show();
  window_->selectRow(store.readInt("Recent", "LastRecentIndex", -1));
  updateIntercomButton();  // the selected contact may make the button ready

  if (store.readBool("Settings", "NewInstall", true)) {
    platform::Prompt welcome{
        QUILLET_UI_TEXT("app", "Welcome"),
        QUILLET_UI_TEXT("app",
                        "Welcome to Quillet.\r\n\r\nWould you like to read the tutorial now?"),
        platform::PromptButtons::YesNo, platform::PromptIcon::Question, "welcome"};
    const platform::PromptAnswer answer = env_.prompts.ask(welcome);
    if (closing_) {
      return true;  // closed while it asked: the next start asks again
    }
    if (answer == platform::PromptAnswer::Yes) {
      env_.loop.post([this] { window_->openHelp(); });  // command 9
    }
    transport_->restart();
    restartEngine();
    env_.loop.post([this] { command(kCommandCheckLine); });
    store.writeBool("Settings", "NewInstall", false);
  }
  if (!transport_->running()) {
    // A profile marked as set up but never started before: start the line all the same.
    transport_->restart();
  }
  // Calls placed from the command line right after start need the bound SIP port.
  transport_->waitReady(kTransportReadyMs);
  showLineInStatus();  // the transport has settled on its address by now
  startPagingReceiver();
  return true;
}

// Code below a nested loop (a question, a dialog, an event being raised) still uses the
// slot and its engine when that loop returns: closing only dismisses the questions and
// ends every loop level here (the window's dialogs are cancelled with them), and the parts
// are taken down once the outermost level has returned (~IntercomApp), or at once when no
// loop runs and no question waits (the welcome question waits before the loop runs).
void IntercomApp::requestClose() {
  if (closing_) {
    return;
  }
  closing_ = true;
  base::logInfo("Closing Quillet");
  stopRingSound();
  env_.prompts.dismissAll();
  env_.loop.quitAll(0);
  if (env_.loop.depth() == 0 && env_.prompts.openCount() == 0) {
    shutDown();
  }
}

void IntercomApp::shutDown() {
  if (transport_ == nullptr) {
    return;
  }
  closing_ = true;
  env_.prompts.dismissAll();
  window_->closeAddressBook();
  window_->unregisterHotKeys();
  for (uint32_t timer : {kBannerTimer, kRestartTimer, kHotKeyGuardTimer, kHideTimer,
                         kAnswerDelayTimer, kRingTimer, kQualityTimer}) {
    env_.loop.killTimer(timer);
  }
  stopRingSound();
  stopPaging();
  player_.Stop();
  recorder_.Stop();
  echo_.reset();
  currentSlot_ = 1;
  if (slot_ != nullptr) {
    env_.loop.killTimer(slot_->noActivityTimer());
    noteCallEndReason("closed");
    // The call ends first (its BYE or 487 goes through the reaper while the transport
    // still runs), then the transport un-registers with its challenge handling, and only
    // then does the engine go.
    slot_->endCall();
  }
  // Parties bridged by a transfer are let go (BYE to both) while the transport still runs.
  base::DetachedWorkerList::global().StopAll();
  finishCallRecord();  // a call whose end the closing did not report
  if (waitingRecord_) {
    if (waitingRecord_->endReason.empty()) waitingRecord_->endReason = "closed";
    writeCallRecord(*std::exchange(waitingRecord_, std::nullopt), waitingAnsweredAt_);
  }
  settings().writeBool("Settings", "DoNotDisturb", transport_->doNotDisturb());
  transport_->shutdown();
  slot_.reset();
  transport_.reset();
  contacts::IniFile::flushAll();
  audio::DeleteTemporaryAudio();
}

void IntercomApp::armBannerTimer(uint32_t delayMs) {
  env_.loop.startTimer(kBannerTimer, delayMs, [this] {
    window_->setBanner(kBanners[banner_]);
    banner_ = (banner_ + 1) % kBanners.size();
    showLineInStatus();  // the advertised address follows interface changes
    armBannerTimer(kBannerMs);
  });
}

void IntercomApp::restartEngine() {
  env_.loop.killTimer(kRestartTimer);
  if (slot_ == nullptr) {
    return;
  }
  if (slot_->inCall()) {
    env_.loop.startTimer(kRestartTimer, kRestartRetryMs, [this] { restartEngine(); });
    return;
  }
  base::logInfo("Restarting so settings take effect.");
  sip::setUserAgent(settings().readText("SIP", "UserAgent"));
  slot_->buildEngine(*transport_, trace_.get());
  showLineInStatus();
}

void IntercomApp::checkLine() {
  if (settings().readText("DefaultLine", "UserName").empty()) {
    env_.prompts.inform(
        {QUILLET_UI_TEXT("app", "Line not Setup"),
         QUILLET_UI_TEXT("app", "You must specify details the line. Please enter the details"),
         platform::PromptButtons::Ok, platform::PromptIcon::Error, "line"});
    openOptions(kOptionsPageLines);
  } else {
    showLineInStatus();
  }
  if (rows_.empty() && !closing_) {
    window_->showContactHint(QUILLET_UI_TEXT("app", "You should now add contacts to connect"));
    addContactFromWindow();
  }
}

void IntercomApp::showLineInStatus() {
  base::SettingsStore& store = settings();
  // The address the line advertises in its Via and Contact lines: SIP/LocalAddress, or the
  // interface towards the line's server.
  window_->setLineStatus(store.readText("DefaultLine", "DisplayName"),
                         store.readText("DefaultLine", "UserName"), transport_->privateAddress());
  if (slot_ != nullptr) {
    window_->setLineTransport(slot_->transport());  // as the line's engine was built
  }
  refreshLamps();
}

void IntercomApp::openOptions(int32_t page) {
  if (callActive_ || (slot_ != nullptr && slot_->inCall())) {
    env_.prompts.inform(
        {"Quillet",
         QUILLET_UI_TEXT("app", "While a call is ringing or is active you may not change options"),
         platform::PromptButtons::Ok, platform::PromptIcon::Error, "options"});
    return;
  }
  window_->unregisterHotKeys();
  const bool confirmed = window_->openOptions(page);
  window_->registerHotKeys();
  if (!confirmed || transport_ == nullptr) {
    return;
  }
  contacts_ = contacts::createContactStore();
  refillContacts();
  showLineInStatus();
  showVolumes();
  restartEngine();
}

// --- Commands -----------------------------------------------------------------------------

void IntercomApp::startWithSelectedContact() {
  if (startOrAnswer(selectedAddress()) && slot_ != nullptr) {
    slot_->startTime = std::time(nullptr);
    updateIntercomButton();
  }
}

void IntercomApp::intercom() {
  if (endSecondCall()) {
    return;
  }
  if (callActive_) {
    base::logInfo("Trying to finish the call ...");
    hangUp();
    return;
  }
  if (rows_.empty()) {
    addContactFromWindow();
  }
  if (rows_.empty()) {
    return;
  }
  if (callActive_) {  // a call came up while the contact dialog was open
    base::logInfo("Trying to finish the call ...");
    hangUp();
    return;
  }
  base::logInfo("Trying to start the call ...");
  startWithSelectedContact();
}

void IntercomApp::setDoNotDisturb(bool on) {
  if (transport_ == nullptr) {
    return;  // closing
  }
  transport_->setDoNotDisturb(on);
  settings().writeBool("Settings", "DoNotDisturb", on);
  window_->checkMenuItem(kCommandDoNotDisturb, on);
  window_->setDoNotDisturbButton(on);
  notePagingState();
  if (on) {
    base::logNotice("DO NOT DISTURB turned on. You will not receive incoming calls.");
  } else {
    base::logInfo("DO NOT DISTURB turned off.");
  }
}

// --- Intercom call control ----------------------------------------------------------------

bool IntercomApp::startOrAnswer(const std::string& address) {
  if (slot_ == nullptr || slot_->engine() == nullptr) {
    return false;
  }
  if (secondCallUp()) {
    // The microphone stays with the second call; letting the button go ends that call.
    return false;
  }
  LineSlot& slot = *slot_;
  sip::SipEngine& engine = *slot.engine();
  if (answerPhoneCall(slot, engine)) {
    return true;
  }
  if (currentSlot_ == 0 && !slot.pending) {
    currentSlot_ = 1;
  }
  recorder_.Stop();

  audio::SinkRef stream;  // null until a call takes this side's speech
  if (address.empty() && slot.pending) {
    stream = slot.takeSendingStream();
    currentSlot_ = 0;
    if (stream->isNull()) {
      return false;
    }
  }
  if (stream->isNull() && slot.pending &&
      strcasecmp(address.c_str(), engine.remoteUri().c_str()) == 0) {
    stream = slot.takeSendingStream();
    currentSlot_ = 0;
  }
  if (stream->isNull() && !address.empty() && engine.DialIntercom(address) != 0) {
    beginCallRecord(engine, false, true);
    slot.pending = true;
    restartNoActivityTimer(slot);
    stream = slot.spoolWriter();
    currentSlot_ = 0;
    startEchoControl(stream->rate());
    playCallingSound();
  }
  if (stream->isNull()) {
    currentSlot_ = 1;
    return false;
  }
  buildCaptureChain(stream);
  return true;
}

bool IntercomApp::placePhoneCall(const std::string& address) {
  if (slot_ == nullptr || slot_->engine() == nullptr) {
    base::logError("No phone call placed: no line is set up");
    return false;
  }
  if (secondCallUp() || slot_->pending || slot_->connected) {
    base::logError("No phone call placed: the line has a call");
    return false;
  }
  LineSlot& slot = *slot_;
  sip::SipEngine& engine = *slot.engine();
  recorder_.Stop();
  if (engine.Dial(address) == 0) {
    return false;
  }
  beginCallRecord(engine, false, false);
  slot.pending = true;
  slot.phoneCallPlaced = true;
  // Unlike an intercom call's, its ringing is not cut short for want of activity.
  currentSlot_ = 0;
  playRingback();
  return true;
}

void IntercomApp::startPhoneCall(const std::string& address) {
  if (placePhoneCall(address)) {
    slot_->startTime = std::time(nullptr);
    updateIntercomButton();
  }
}

void IntercomApp::phoneCallSelectedContact() {
  if (callActive_) {
    base::logInfo("No phone call placed: the line has a call");
    return;
  }
  const std::string address = selectedAddress();
  if (address.empty()) {
    base::logInfo("No phone call placed: no contact is selected");
    return;
  }
  base::logInfo("Trying to start the phone call ...");
  startPhoneCall(address);
}

void IntercomApp::onEarlyMedia(LineSlot& slot) {
  sip::SipEngine* engine = slot.engine();
  if (engine == nullptr || !slot.phoneCallPlaced || slot.connected || closing_) {
    return;
  }
  base::logInfo("The far end sends audio before answering; it is heard now");
  player_.Stop();
  playCall(engine->ReceivingStream());
}

// Microphone → echo control (canceller, noise suppressor, suppressor; or suppressor, noise
// suppressor) → AutoGain → the call's stream; without echo control the noise suppressor is
// a stage of its own. The gain
// comes last: in front of the canceller each of its steps would move the echo path the
// canceller models, and the noise suppressor would see a noise floor that moves.
void IntercomApp::buildCaptureChain(const audio::SinkRef& stream) {
  base::SettingsStore& store = settings();
  audio::SinkRef chain = stream;
  if (audio::useAutoGain(store)) {
    chain = audio::SinkRef(new audio::AutoGain(chain));
  }
  if (echo_) {
    // The echo control works at the rate of the call it started with; a stream at another
    // (a narrowband answer to a wideband dial) takes it resampled.
    (*echo_)->setOutput(audio::MakeResamplingSink((*echo_)->rate(), chain));
    chain = *echo_;
  } else if (audio::useNoiseSuppression(store)) {
    if ((chain->rate() == audio::NoiseSuppressor::kRate || chain->rate() == 16000) &&
        chain->channels() == 1) {
      chain = audio::SinkRef(new audio::NoiseSuppressingSink(chain));
    } else {
      base::logInfo("Noise suppression left out: the call's stream is not 8000 or 16000 Hz mono");
    }
  }
  recorder_.SetDevice(store.readText("Settings", "RecordDevice"),
                      store.readInt("Settings", "RecordDeviceChannel", 0));
  recorder_.SetRecordVolume(clampLevel(store.readInt("Settings", "RecordVolume", 0)));
  recorder_.Start(chain, 0, -127, 0, audio::Recorder::kBeginStreaming);
}

// One echo control per call, from the dial (the calling sound plays while the microphone
// may already be on) or the answer until the call ends, at the call's rate: 16000 Hz for a
// wideband one (the spool's rate when dialling), else 8000 Hz.
void IntercomApp::startEchoControl(uint32_t callRate) {
  if (!echo_ && audio::useEchoCancellation(settings())) {
    const uint32_t rate =
        callRate == 2 * audio::EchoControl::kRate ? callRate : audio::EchoControl::kRate;
    echo_.emplace(audio::CreateEchoControl(playerPosition_.get(), settings(), rate));
  }
}

void IntercomApp::hangUp() {
  if (slot_ == nullptr || endSecondCall()) {
    return;
  }
  if (currentSlot_ == 0 && slot_->connected && slot_->engine() != nullptr) {
    noteCallEndReason("hung up here");
    slot_->engine()->HangUp();
  }
  if (currentSlot_ == 0 && slot_->pending) {
    recorder_.Stop();
    currentSlot_ = 1;
  }
  updateIntercomButton();
}

// A second call placed or up is the one the user deals with (it has the audio once up):
// hanging up ends it, and the audio goes back to the first call. True when there was one.
bool IntercomApp::endSecondCall() {
  if (!secondCallUp() || (waitingCall_ && activeEngine() != slot_->second())) {
    return false;  // a call that waits or is held leaves the line's call the one in hand
  }
  base::logInfo("Ending the second call ...");
  slot_->second()->HangUp();
  return true;
}

bool IntercomApp::secondCallUp() {
  sip::SipEngine* second = slot_ != nullptr ? slot_->second() : nullptr;
  return second != nullptr && second->IsInCall() != 0;
}

// Ends an established call, also an intercom call (pending): otherwise a call placed with
// -dial could never be ended from the command line.
void IntercomApp::hangUpFromCommandLine() {
  if (endSecondCall()) {
    return;
  }
  // An established call ends; so does a phone call placed here that still rings.
  if (slot_ == nullptr || slot_->engine() == nullptr ||
      !(slot_->connected || (slot_->pending && slot_->phoneCallPlaced))) {
    return;
  }
  recorder_.Stop();
  player_.Stop();
  noteCallEndReason(slot_->connected ? "hung up here" : "cancelled here");
  slot_->engine()->HangUp();
  currentSlot_ = 1;
  updateIntercomButton();
}

void IntercomApp::routeAudioTo(sip::SipEngine& engine, bool microphone) {
  recorder_.Stop();
  player_.Stop();
  audioOnSecond_ = &engine != slot_->engine();
  audio::SourceRef receiving = engine.ReceivingStream();
  startEchoControl(receiving->rate());
  playCall(receiving);
  if (microphone) {
    // The line's own call may still owe its far end the speech of the spool.
    buildCaptureChain(&engine == slot_->engine() ? slot_->takeSendingStream()
                                                 : engine.SendingStream());
  }
}

void IntercomApp::onConnected(LineSlot& slot) {
  slot.connected = true;
  if (!ringingCaller_.empty()) {
    ringingCaller_.clear();
    window_->noteRingingOver();
  }
  if (slot.pending) {
    slot.startPump();
    restartNoActivityTimer(slot);
  }
  slot.startTime = std::time(nullptr);
  noteCallAnswered(*slot.engine());
  armDoorControl(slot);
  window_->setCallEncryption(slot.engine()->mediaEncryption());
  callStarted(slot);
  if (slot.talkBackWhenConnected) {
    slot.talkBackWhenConnected = false;
    env_.loop.post([this] { command(kCommandIntercomDown); });
  }
  if (slot.phoneCallPlaced) {
    // The microphone of a phone call placed here goes on with the answer.
    buildCaptureChain(slot.takeSendingStream());
  }
  callActive_ = true;
  lineCallUp_ = true;
  keepWaitingReady();
  notePagingState();
  window_->checkMenuItem(kCommandIntercom, true);
  noteRecentContact(slot);
  base::logInfo("The call was started ...");
  refreshCallQuality();
  updateHoldButton();
}

void IntercomApp::onHoldChanged(LineSlot& slot) {
  if (slot_.get() == &slot) {
    updateHoldButton();
    showCalls();
  }
}

void IntercomApp::refreshCallQuality() {
  const std::optional<sip::CallFigures> figures =
      slot_ != nullptr && slot_->engine() != nullptr && !closing_ ? slot_->engine()->callFigures()
                                                                  : std::nullopt;
  if (!figures) {
    env_.loop.killTimer(kQualityTimer);
    window_->setCallQuality(nullptr);
    return;
  }
  window_->setCallQuality(&*figures);
  env_.loop.startTimer(kQualityTimer, kQualityRefreshMs, [this] { refreshCallQuality(); });
}

void IntercomApp::callStarted(LineSlot& slot) {
  sip::SipEngine& engine = *slot.engine();
  currentSlot_ = 0;
  player_.Stop();
  audioOnSecond_ = false;
  audio::SourceRef receiving = engine.ReceivingStream();
  const bool cue = cueNext_;
  cueNext_ = false;
  // The microphone, whenever it is turned on in this call, passes the echo control that
  // hears what the speaker plays.
  startEchoControl(receiving->rate());
  playCall(receiving, cue);
  updateIntercomButton();
}

void IntercomApp::playCall(audio::SourceRef receiving, bool cue) {
  base::SettingsStore& store = settings();
  // What stands in the device queue is taken back in the far end's pauses; the echo control
  // hears only what is played.
  receiving = audio::MakeCallSource(receiving, cue, *playerQueue_);
  // The call-waiting tone, while a second call waits, over what the far end says.
  receiving = media::MakeWaitingToneMix(receiving, waitingTone_);
  if (echo_) {
    receiving = (*echo_)->tap(receiving);
  }
  player_.SetDevice(store.readText("Settings", "PlayDevice"));
  audio::SetPlayVolume(player_, clampLevel(store.readInt("Settings", "PlayVolume", 0)));
  // A short device queue: what the far end says is heard as soon as it has come.
  player_.SetBlocks(audio::kCallBlockMs, audio::kCallBlocks);
  player_.SetLive(true);
  if (player_.Start(receiving) != 0) {
    base::logFormat(base::LogLevel::Info, "Playback: device queue %u ms", player_.deviceQueueMs());
  }
}

void IntercomApp::onEnded(LineSlot& slot) {
  if (!ringingCaller_.empty()) {
    window_->noteMissedCall(ringingCaller_);  // it rang here and ended before it was up
    ringingCaller_.clear();
  }
  finishCallRecord();
  slot.connected = false;
  lineCallUp_ = false;
  slot.talkBackWhenConnected = false;
  slot.phoneCallPlaced = false;
  slot.startTime = 0;
  cueNext_ = false;
  env_.loop.killTimer(kAnswerDelayTimer);
  env_.loop.killTimer(kQualityTimer);
  window_->setCallQuality(nullptr);
  window_->setHoldButton(false, false);
  callStopped(slot);
  if (slot.pending) {
    slot.stopPump();
    slot.pending = false;
  }
  sip::SipEngine* second = slot.second();
  if (!closing_ && second != nullptr && second->callState() == sip::kCallConnected &&
      !(waitingCall_ && second->heldHere())) {
    routeAudioTo(*second, true);  // the waiting party left: the second call goes on
  }
  if (waitingCall_ && second != nullptr && second->callState() == sip::kCallIncoming) {
    setWaitingTone(false);  // no call to hear it in: the waiting call rings as a call
    startRingSound();
  }
  showCalls();
  updateHoldButton();  // a held second call is the one left
  // The engine kept ready for a call that waits goes with the call it waited behind (its
  // sockets and threads are the next call's to make); not from within the engine's event.
  env_.loop.post([this, alive = std::weak_ptr<int>(alive_)] {
    if (alive.lock() != nullptr && slot_ != nullptr && !slot_->connected) {
      slot_->releaseSecond();
    }
  });
  env_.loop.killTimer(slot.noActivityTimer());
  // The talk-back question still open has lost its call; other questions stay.
  ++incomingCall_;
  answerAfterRing_ = false;
  env_.prompts.dismiss(kTalkBackTag);
}

void IntercomApp::callStopped(LineSlot& slot) {
  if (currentSlot_ == 0 && slot_.get() == &slot) {
    player_.Stop();
    currentSlot_ = 1;
  }
  callActive_ = false;
  notePagingState();
  window_->setCallEncryption("");
  microphoneLevel_ = -127;
  speakerLevel_ = -127;
  window_->setLevels(microphoneLevel_, speakerLevel_);
  window_->checkMenuItem(kCommandIntercom, false);
  updateIntercomButton();
  recorder_.Stop();
  player_.Stop();
  echo_.reset();  // the suppressor stores what it learned
  base::logInfo("The call was stopped ...");
}

void IntercomApp::restartNoActivityTimer(LineSlot& slot) {
  env_.loop.startTimer(slot.noActivityTimer(), LineSlot::kNoActivityMs, [&slot] {
    if (slot.engine() != nullptr) {
      slot.engine()->HangUp();
    }
  });
}

void IntercomApp::OnStopped(uint32_t cookie) {
  if (cookie == kRingCookie && answerAfterRing_) {
    ringFinished();
  }
}

void IntercomApp::OnLevels(const audio::LevelReport* levels, uint32_t cookie) {
  if (cookie == kRingCookie) {
    return;
  }
  // A DTLS handshake ends a moment after the call started: the padlock follows, and it is
  // the active call's when a second one is up (a waiting call answered, a switch).
  if (callActive_ && slot_ != nullptr && slot_->engine() != nullptr) {
    const sip::SipEngine* active = hasWaitingCall() ? activeEngine() : slot_->engine();
    window_->setCallEncryption(active != nullptr ? active->mediaEncryption() : std::string());
  }
  if (levels != nullptr && levels->count > 0) {
    const int8_t level = *std::max_element(levels->levels, levels->levels + levels->count);
    (cookie == kRecorderCookie ? microphoneLevel_ : speakerLevel_) = level;
    window_->setLevels(microphoneLevel_, speakerLevel_);
  }
  // The calling sound on this side's speaker is no sign of life of the call.
  const bool callingSound = cookie == kPlayerCookie && slot_ != nullptr && !slot_->connected;
  if (slot_ != nullptr && currentSlot_ == 0 && slot_->pending && !callingSound) {
    restartNoActivityTimer(*slot_);
  }
}

void IntercomApp::updateIntercomButton() {
  const bool inCall = slot_ != nullptr && currentSlot_ == 0;
  window_->enableContactList(!inCall);
  if (inCall) {
    window_->setIntercomButton(IntercomButtonState::InCall, QUILLET_UI_TEXT("app", "Cancel (F5)"));
    return;
  }
  const bool offered = slot_ != nullptr && slot_->engine() != nullptr &&
                       slot_->engine()->callState() == sip::kCallIncoming;
  window_->setIntercomButton(offered || !selectedAddress().empty() ? IntercomButtonState::Ready
                                                                   : IntercomButtonState::Disabled,
                             QUILLET_UI_TEXT("app", "Intercom (F5)"));
}

}  // namespace quillet::app
