// IntercomApp: start-up and closing, the incoming-call decisions, intercom call control,
// do-not-disturb, the command-line options and hot keys.
#include "app/intercom_app.h"

#include <strings.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <ctime>

#include "app/allow_list.h"
#include "app/hot_keys.h"
#include "app/line_values.h"
#include "audio/auto_gain.h"
#include "audio/converters.h"
#include "audio/cue_tone.h"
#include "audio/echo_settings.h"
#include "audio/echo_suppressor.h"
#include "audio/noise_suppressor.h"
#include "audio/volume.h"
#include "audio/wave_file.h"
#include "base/command_line.h"
#include "base/log.h"
#include "base/settings_store.h"
#include "base/worker_thread.h"
#include "contacts/contact_text.h"
#include "contacts/ini_file.h"
#include "platform/paths.h"
#include "sip/sip_uri.h"

namespace quillet::app {

namespace {

constexpr uint32_t kRecorderCookie = 1;
constexpr uint32_t kPlayerCookie = 2;
constexpr uint32_t kRingCookie = 3;
constexpr uint32_t kBannerFirstMs = 1000;
constexpr uint32_t kBannerMs = 8000;
constexpr uint32_t kHotKeyRepeatMs = 500;
constexpr uint32_t kHotKeyPressMs = 800;
constexpr uint32_t kRingWaitLimitMs = 5000;
constexpr int32_t kTransportReadyMs = 3000;
constexpr uint32_t kRingTimer = 6;  // safety limit of the ring sound
constexpr const char* kTalkBackTag = "talk-back";

const std::array<const char*, 6> kBanners = {
    "Quillet: press Intercom and speak",
    "Your first word reaches the far end, even while it rings",
    "Allowed callers are answered on the first ring",
    "Do Not Disturb refuses every incoming call",
    "Quillet runs in the background to receive intercoms",
    "Contacts can be imported from CSV files",
};

base::SettingsStore& settings() {
  return base::SettingsStore::global();
}

int32_t clampLevel(int32_t level) {
  return std::clamp(level, -127, 127);
}

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
        "Welcome", "Welcome to Quillet.\r\n\r\nWould you like to read the tutorial now?",
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
                         kAnswerDelayTimer, kRingTimer}) {
    env_.loop.killTimer(timer);
  }
  stopRingSound();
  player_.Stop();
  recorder_.Stop();
  echo_.reset();
  currentSlot_ = 1;
  if (slot_ != nullptr) {
    env_.loop.killTimer(slot_->noActivityTimer());
    // The call ends first (its BYE or 487 goes through the reaper while the transport
    // still runs), then the transport un-registers with its challenge handling, and only
    // then does the engine go.
    slot_->endCall();
  }
  // Parties bridged by a transfer are let go (BYE to both) while the transport still runs.
  base::DetachedWorkerList::global().StopAll();
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
  slot_->buildEngine(*transport_, trace_.get());
  showLineInStatus();
}

void IntercomApp::checkLine() {
  if (settings().readText("DefaultLine", "UserName").empty()) {
    env_.prompts.inform({"Line not Setup",
                         "You must specify details the line. Please enter the details",
                         platform::PromptButtons::Ok, platform::PromptIcon::Error, "line"});
    openOptions(kOptionsPageLines);
  } else {
    showLineInStatus();
  }
  if (rows_.empty() && !closing_) {
    window_->showContactHint("You should now add contacts to connect");
    window_->addContact();
  }
}

void IntercomApp::showLineInStatus() {
  base::SettingsStore& store = settings();
  // The address the line advertises in its Via and Contact lines: SIP/LocalAddress, or the
  // interface towards the line's server.
  window_->setLineStatus(store.readText("DefaultLine", "DisplayName"),
                         store.readText("DefaultLine", "UserName"), transport_->privateAddress());
}

void IntercomApp::openOptions(int32_t page) {
  if (callActive_ || (slot_ != nullptr && slot_->inCall())) {
    env_.prompts.inform({"Quillet",
                         "While a call is ringing or is active you may not change options",
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

void IntercomApp::showVolumes() {
  base::SettingsStore& store = settings();
  window_->setVolumes(clampLevel(store.readInt("Settings", "PlayVolume", 0)),
                      clampLevel(store.readInt("Settings", "RecordVolume", 0)));
}

void IntercomApp::setVolume(bool playback, int32_t level) {
  level = clampLevel(level);
  base::SettingsStore& store = settings();
  if (playback) {
    store.writeInt("Settings", "PlayVolume", level);
    int applied = level;
    audio::SetPlayVolume(store.readText("Settings", "PlayDevice"), applied, 0);
  } else {
    store.writeInt("Settings", "RecordVolume", level);
    recorder_.SetRecordVolume(level);
  }
  showVolumes();
}

bool IntercomApp::deleteSelectedContact() {
  const int32_t position = selectedPosition();
  if (position < 0) {
    return false;
  }
  const platform::Prompt question{
      "Confirm Delete", "Are you sure you want to delete the selected contact?",
      platform::PromptButtons::OkCancel, platform::PromptIcon::Question, "delete-contact"};
  if (env_.prompts.ask(question) != platform::PromptAnswer::Ok || !contacts_->seek(position)) {
    return false;
  }
  const bool deleted = contacts_->deleteContact(contacts_->cursor());
  refillContacts();
  return deleted;
}

int32_t IntercomApp::selectedPosition() {
  const int32_t row = window_->selectedRow();
  if (row < 0 || row >= static_cast<int32_t>(rows_.size())) {
    return -1;
  }
  return rows_[static_cast<size_t>(row)].position;
}

void IntercomApp::refillContacts() {
  rows_ = contacts::contactListRows(*contacts_);
  std::vector<std::string> texts;
  texts.reserve(rows_.size());
  for (const auto& row : rows_) {
    texts.push_back(row.text);
  }
  window_->setContactRows(texts);
}

std::string IntercomApp::selectedAddress() {
  const int32_t position = selectedPosition();
  if (position < 0 || !contacts_->seek(position)) {
    return {};
  }
  return contacts_->numberAtCursor();
}

// --- Commands -----------------------------------------------------------------------------

void IntercomApp::command(int32_t id) {
  switch (id) {
    case kCommandIntercomDown:
      startWithSelectedContact();
      break;
    case kCommandIntercomUp:
      hangUp();
      break;
    case kCommandIntercom:
      intercom();
      break;
    case kCommandDoNotDisturb:
      setDoNotDisturb(!doNotDisturb());
      break;
    case kCommandRefuse:
      if (slot_ != nullptr && slot_->engine() != nullptr &&
          slot_->engine()->callState() == sip::kCallIncoming) {
        ringingCaller_.clear();  // refused, not missed
        window_->noteRingingOver();
        slot_->engine()->HangUp();
      }
      break;
    case kCommandCheckLine:
      checkLine();
      break;
    case kCommandOptions:
      openOptions(settings().readInt("Settings", "SetDlgLastOpenedPage", 0));
      break;
    case kMessageOptions:
    case kMessageOptionsLines:
      if (!callActive_) {
        openOptions(id == kMessageOptions ? kOptionsPageRecording : kOptionsPageLines);
      }
      break;
    case kCommandPlayVolumeUp:
    case kCommandPlayVolumeDown:
      setVolume(true, settings().readInt("Settings", "PlayVolume", 0) +
                          (id == kCommandPlayVolumeUp ? 1 : -1));
      break;
    case kCommandRecordVolumeUp:
    case kCommandRecordVolumeDown:
      setVolume(false, settings().readInt("Settings", "RecordVolume", 0) +
                           (id == kCommandRecordVolumeUp ? 1 : -1));
      break;
    case kCommandAddContact:
      if (window_->addContact()) {
        refillContacts();
      }
      break;
    case kCommandEditContact:
    case kCommandEditSelected:
      if (selectedPosition() >= 0 && window_->editContact(selectedPosition())) {
        refillContacts();
      }
      break;
    case kCommandDeleteContact:
      deleteSelectedContact();
      break;
    case kCommandAddressBook:
      window_->showAddressBook();
      break;
    case kMessageRefillContacts:
      refillContacts();
      break;
    case kMessageShow:
      window_->show();
      break;
    case kCommandShow:
      window_->show();
      break;
    case kCommandExit:
    case kMessageClose:
      env_.loop.post([this] { requestClose(); });
      break;
    default:
      break;
  }
}

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
  if (rows_.empty() && window_->addContact()) {
    refillContacts();
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
    slot.pending = true;
    restartNoActivityTimer(slot);
    stream = slot.spoolWriter();
    currentSlot_ = 0;
    startEchoControl();
    playCallingSound();
  }
  if (stream->isNull()) {
    currentSlot_ = 1;
    return false;
  }
  buildCaptureChain(stream);
  return true;
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
    (*echo_)->setOutput(chain);
    chain = *echo_;
  } else if (audio::useNoiseSuppression(store)) {
    if (chain->rate() == audio::NoiseSuppressor::kRate && chain->channels() == 1) {
      chain = audio::SinkRef(new audio::NoiseSuppressingSink(chain));
    } else {
      base::logInfo("Noise suppression left out: the call's stream is not 8000 Hz mono");
    }
  }
  recorder_.SetDevice(store.readText("Settings", "RecordDevice"),
                      store.readInt("Settings", "RecordDeviceChannel", 0));
  recorder_.SetRecordVolume(clampLevel(store.readInt("Settings", "RecordVolume", 0)));
  recorder_.Start(chain, 0, -127, 0, audio::Recorder::kBeginStreaming);
}

// One echo control per call, from the dial (the calling sound plays while the microphone
// may already be on) or the answer until the call ends.
void IntercomApp::startEchoControl() {
  if (!echo_ && audio::useEchoCancellation(settings())) {
    echo_.emplace(audio::CreateEchoControl(playerPosition_.get(), settings()));
  }
}

void IntercomApp::hangUp() {
  if (slot_ == nullptr || endSecondCall()) {
    return;
  }
  if (currentSlot_ == 0 && slot_->connected && slot_->engine() != nullptr) {
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
  if (!secondCallUp()) {
    return false;
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
  if (slot_ == nullptr || slot_->engine() == nullptr || !slot_->connected) {
    return;
  }
  recorder_.Stop();
  player_.Stop();
  slot_->engine()->HangUp();
  currentSlot_ = 1;
  updateIntercomButton();
}

std::string IntercomApp::callCommand(const std::vector<std::string>& words) {
  if (closing_) {
    return "the program is closing";
  }
  const std::string& name = words.front();
  sip::SipEngine* engine = slot_ != nullptr ? slot_->engine() : nullptr;
  if (name == "transfer" && words.size() == 2) {
    base::logInfo("Call command: transfer to ", words[1]);
    if (engine == nullptr) {
      return "no line is set up";
    }
    switch (engine->checkTransfer(words[1])) {
      case sip::TransferCheck::NoCall:
        return "no call is up to transfer";
      case sip::TransferCheck::Invalid:
        return "'" + words[1] + "' is not a SIP address or phone number";
      case sip::TransferCheck::NoServer:
        return "'" + words[1] + "' names no server and the line has none: use NUMBER@SERVER";
      case sip::TransferCheck::Ready:
        break;
    }
    engine->Transfer(words[1]);
    return {};
  }
  if (name == "consult" && (words.size() == 2 || words.size() == 3)) {
    base::logInfo("Call command: second call to ",
                  words.size() == 3 ? words[1] + " on line " + words[2] : words[1]);
    return consultCommand(words[1], words.size() == 3 ? words[2] : "1");
  }
  if (name == "join" && words.size() == 1) {
    base::logInfo("Call command: join");
    return joinCommand();
  }
  if (name == "outcome" && words.size() == 1) {
    return transferOutcomeText();
  }
  if (name == "drop" && words.size() == 1) {
    base::logInfo("Call command: end the second call");
    return endSecondCall() ? std::string() : "no second call to end";
  }
  return "unknown call command '" + name + "'";
}

// The line index of a line number ("1" the default line, "2" the section Line2...): a line
// other than the first needs a section of its own, or it would silently be the first.
std::optional<int32_t> IntercomApp::lineIndexOf(const std::string& number, std::string& error) {
  int32_t line = 0;
  const auto [end, failed] = std::from_chars(number.data(), number.data() + number.size(), line);
  if (failed != std::errc() || end != number.data() + number.size() || line < 1 || line > 99) {
    error = "'" + number + "' is not a line number (1 to 99)";
    return std::nullopt;
  }
  const std::string section = "Line" + number;
  if (line > 1 && lineSection(settings(), line - 1) != section) {
    error = "line " + number + " is not set up: its settings go in section [" + section +
            "] with UseDefault=0";
    return std::nullopt;
  }
  if (line > 1 && settings().readText(section, "UserName").empty()) {
    error = "line " + number + " has no UserName in section [" + section + "]";
    return std::nullopt;
  }
  return line - 1;
}

std::string IntercomApp::consultCommand(const std::string& target, const std::string& lineNumber) {
  sip::SipEngine* engine = slot_ != nullptr ? slot_->engine() : nullptr;
  if (engine == nullptr) {
    return "no line is set up";
  }
  if (secondCallUp()) {
    return "the line has a second call already";
  }
  std::string error;
  const std::optional<int32_t> line = lineIndexOf(lineNumber, error);
  if (!line) {
    return error;
  }
  // The target is checked as a transfer's is (the second call is there to be joined), with
  // the server of the line it goes out on.
  const std::string server = readLineValues(settings(), *line).proxy;
  switch (engine->checkTransfer(target, server)) {
    case sip::TransferCheck::NoCall:
      return "no call is up to hold for a second call";
    case sip::TransferCheck::Invalid:
      return "'" + target + "' is not a SIP address or phone number";
    case sip::TransferCheck::NoServer:
      return "'" + target + "' names no server and the line has none: use NUMBER@SERVER";
    case sip::TransferCheck::Ready:
      break;
  }
  if (!slot_->dialSecond(*transport_, trace_.get(), target, *line)) {
    return "the second call could not be placed (see the log)";
  }
  return {};
}

// The answer to the tool's question after a transfer or join: "OK" once done, refusals
// while it goes on (base::kCallInProgress) and when it failed.
std::string IntercomApp::transferOutcomeText() {
  sip::SipEngine* engine = slot_ != nullptr ? slot_->engine() : nullptr;
  switch (engine != nullptr ? engine->transferOutcome() : sip::TransferOutcome::None) {
    case sip::TransferOutcome::Done:
      return {};
    case sip::TransferOutcome::Pending:
      return base::kCallInProgress;
    case sip::TransferOutcome::Failed:
      return "the far end was not handed over (the log says why)";
    case sip::TransferOutcome::None:
      break;
  }
  return "no transfer or join was asked of this line";
}

std::string IntercomApp::joinCommand() {
  sip::SipEngine* engine = slot_ != nullptr ? slot_->engine() : nullptr;
  if (engine == nullptr || engine->callState() != sip::kCallConnected) {
    return "no call is up to join";
  }
  const std::shared_ptr<sip::SipEngine>& second = slot_->secondShared();
  if (second == nullptr || second->callState() != sip::kCallConnected) {
    return "no second call is up to join: place one with 'call consult TARGET'";
  }
  // The first call's far end is asked to call the second's (or the two are bridged).
  engine->Join(second);
  return {};
}

void IntercomApp::onSecondConnected(LineSlot& slot) {
  base::logInfo("The second call was started; the first call waits");
  microphoneBeforeSecond_ = recorder_.running();
  routeAudioTo(*slot.second(), true);
}

void IntercomApp::onSecondEnded(LineSlot& slot) {
  base::logInfo("The second call was stopped ...");
  recorder_.Stop();
  player_.Stop();
  if (slot.connected && slot.engine() != nullptr && !closing_) {
    routeAudioTo(*slot.engine(), microphoneBeforeSecond_);
  }
  microphoneBeforeSecond_ = false;
  // Not from within the ending engine's own event.
  env_.loop.post([this, alive = std::weak_ptr<int>(alive_)] {
    if (alive.lock() != nullptr && slot_ != nullptr) {
      slot_->releaseSecond();
    }
  });
}

void IntercomApp::routeAudioTo(sip::SipEngine& engine, bool microphone) {
  recorder_.Stop();
  player_.Stop();
  startEchoControl();
  playCall(engine.ReceivingStream());
  if (microphone) {
    // The line's own call may still owe its far end the speech of the spool.
    buildCaptureChain(&engine == slot_->engine() ? slot_->takeSendingStream()
                                                 : engine.SendingStream());
  }
}

int IntercomApp::onRing(LineSlot& slot, int32_t ring, int32_t /*previousRing*/) {
  sip::SipEngine* engine = slot.engine();
  if (engine == nullptr || closing_) {
    return 0;
  }
  window_->show();
  if (ring == 1) {
    incoming_ = judgeIncoming(*engine);
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
      engine.Refuse(480);
      return true;
    case IncomingDecision::Forbid:
      base::logCallDecision("Refusing a call that requires auto-answer (" + incoming_.reason + ")");
      engine.Refuse(403, manualAnswerHeader(engine.incomingFacts().autoAnswer));
      return true;
    case IncomingDecision::Refuse:
      base::logCallDecision("Rejecting intercom call because not on the allow list");
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
      "Incoming Call", "Incoming SIP call was detected.\nWould you like to start conversation ?",
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
  callStarted(slot);
  if (slot.talkBackWhenConnected) {
    slot.talkBackWhenConnected = false;
    env_.loop.post([this] { command(kCommandIntercomDown); });
  }
  callActive_ = true;
  window_->checkMenuItem(kCommandIntercom, true);
  noteRecentContact(slot);
  base::logInfo("The call was started ...");
}

void IntercomApp::callStarted(LineSlot& slot) {
  sip::SipEngine& engine = *slot.engine();
  currentSlot_ = 0;
  player_.Stop();
  audio::SourceRef receiving = engine.ReceivingStream();
  const bool cue = cueNext_;
  cueNext_ = false;
  // The microphone, whenever it is turned on in this call, passes the echo control that
  // hears what the speaker plays.
  startEchoControl();
  playCall(receiving, cue);
  updateIntercomButton();
}

void IntercomApp::playCall(audio::SourceRef receiving, bool cue) {
  base::SettingsStore& store = settings();
  // What stands in the device queue is taken back in the far end's pauses; the echo control
  // hears only what is played.
  receiving = audio::MakeCallSource(receiving, cue, *playerQueue_);
  if (echo_) {
    receiving = (*echo_)->tap(receiving);
  }
  const std::string device = store.readText("Settings", "PlayDevice");
  int volume = clampLevel(store.readInt("Settings", "PlayVolume", 0));
  audio::SetPlayVolume(device, volume, 0);
  player_.SetDevice(device);
  // A short device queue: what the far end says is heard as soon as it has come.
  player_.SetBlocks(audio::kCallBlockMs, audio::kCallBlocks);
  player_.SetLive(true);
  if (player_.Start(receiving) != 0) {
    base::logFormat(base::LogLevel::Info, "Playback: device queue %u ms", player_.deviceQueueMs());
  }
}

void IntercomApp::noteRecentContact(LineSlot& slot) {
  sip::SipEngine& engine = *slot.engine();
  const std::string address = engine.remoteUri();
  if (address.empty()) {
    return;
  }
  const std::string name = engine.remoteDisplayName();
  int32_t position = contacts::findContactByNumber(*contacts_, address);
  if (position < 0) {
    contacts_->add(name.empty() ? address : name, address, "");
    refillContacts();
    position = contacts::findContactByNumber(*contacts_, address);
  } else if (!name.empty() && contacts_->seek(position) &&
             !contacts::equalsNoCase(contacts_->nameAtCursor(), name) && slot.spoolDrained()) {
    contacts_->update(position, name, contacts_->numberAtCursor(), contacts_->emailAtCursor());
    refillContacts();
  }
  for (size_t row = 0; row < rows_.size(); ++row) {
    if (rows_[row].position == position) {
      if (window_->selectedRow() != static_cast<int32_t>(row)) {
        window_->selectRow(static_cast<int32_t>(row));
      }
      settings().writeInt("Recent", "LastRecentIndex", static_cast<int32_t>(row));
      break;
    }
  }
}

void IntercomApp::onEnded(LineSlot& slot) {
  if (!ringingCaller_.empty()) {
    window_->noteMissedCall(ringingCaller_);  // it rang here and ended before it was up
    ringingCaller_.clear();
  }
  slot.connected = false;
  slot.talkBackWhenConnected = false;
  slot.startTime = 0;
  cueNext_ = false;
  env_.loop.killTimer(kAnswerDelayTimer);
  callStopped(slot);
  if (slot.pending) {
    slot.stopPump();
    slot.pending = false;
  }
  if (!closing_ && slot.second() != nullptr && slot.second()->callState() == sip::kCallConnected) {
    routeAudioTo(*slot.second(), true);  // the waiting party left: the second call goes on
  }
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
  env_.loop.startTimer(slot.noActivityTimer(), LineSlot::kNoActivityMs, [this, &slot] {
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
    window_->setIntercomButton(IntercomButtonState::InCall, "Cancel (F5)");
    return;
  }
  const bool offered = slot_ != nullptr && slot_->engine() != nullptr &&
                       slot_->engine()->callState() == sip::kCallIncoming;
  window_->setIntercomButton(offered || !selectedAddress().empty() ? IntercomButtonState::Ready
                                                                   : IntercomButtonState::Disabled,
                             "Intercom (F5)");
}

// --- Command line and hot keys ------------------------------------------------------------

void IntercomApp::applyArguments(const std::vector<std::string>& arguments) {
  if (closing_) {
    return;  // a start handed over while the program closes
  }
  const ArgumentPlan plan = planArguments(arguments);
  // A later start brings the window forward, also when it carries options.
  const bool exits =
      std::any_of(plan.steps.begin(), plan.steps.end(),
                  [](const ArgumentStep& step) { return step.action == ArgumentAction::Exit; });
  if (argumentLists_++ > 0 && plan.window != WindowChange::Hide && !exits) {
    window_->show();
  }
  carryOut(plan);
}

void IntercomApp::carryOut(const ArgumentPlan& plan) {
  for (const ArgumentStep& step : plan.steps) {
    switch (step.action) {
      case ArgumentAction::Dial:
        if (startOrAnswer(step.value) && slot_ != nullptr) {
          slot_->startTime = std::time(nullptr);
          updateIntercomButton();
        }
        break;
      case ArgumentAction::Answer:
        startWithSelectedContact();
        break;
      case ArgumentAction::HangUp:
        hangUpFromCommandLine();
        break;
      case ArgumentAction::Dtmf:
        if (slot_ != nullptr && slot_->connected && slot_->engine() != nullptr) {
          slot_->engine()->SendDtmf(step.value);
        }
        break;
      case ArgumentAction::Exit:
        requestClose();
        return;
    }
  }
  if (plan.window == WindowChange::Show) {
    window_->show();
  } else if (plan.window == WindowChange::Hide) {
    window_->hide();
  }
}

void IntercomApp::runHotKey(int32_t id) {
  auto armGuard = [this](uint32_t delayMs) {
    hotKeyGuard_ = true;
    env_.loop.startTimer(kHotKeyGuardTimer, delayMs, [this] {
      hotKeyGuard_ = false;
      hangUp();
    });
  };
  if (hotKeyGuard_) {
    armGuard(kHotKeyRepeatMs);
    return;
  }
  const std::vector<HotKeyRecord> records = readHotKeys(settings());
  if (id < 0 || id >= static_cast<int32_t>(records.size())) {
    armGuard(kHotKeyPressMs);
    return;
  }
  const HotKeyRecord& record = records[static_cast<size_t>(id)];
  switch (record.command) {
    case kHotKeyIntercomSelected:
      startWithSelectedContact();
      break;
    case kHotKeyIntercomWith:
      if (startOrAnswer(record.commandTo) && slot_ != nullptr) {
        slot_->startTime = std::time(nullptr);
        updateIntercomButton();
      }
      break;
    case kHotKeyShow:
      window_->show();
      return;
    case kHotKeyHide:
      window_->hide();
      return;
    case kHotKeyClose:
      env_.loop.post([this] { requestClose(); });
      return;
    case kHotKeyShowAddressBook:
      window_->showAddressBook();
      return;
    case kHotKeyHideAddressBook:
      window_->closeAddressBook();
      return;
    default:
      break;
  }
  armGuard(kHotKeyPressMs);
}

}  // namespace quillet::app
