// SPDX-License-Identifier: Apache-2.0
// IntercomApp's commands from outside the window: the control socket's call commands
// (transfer, consult, join), the command-line options of a start or hand-over, and the
// hot keys.
#include <charconv>
#include <ctime>

#include "app/arguments.h"
#include "app/call_quality_report.h"
#include "app/hot_keys.h"
#include "app/intercom_app.h"
#include "app/intercom_app_shared.h"
#include "app/line_values.h"
#include "base/command_line.h"
#include "base/log.h"

namespace quillet::app {

namespace {

constexpr uint32_t kHotKeyRepeatMs = 500;
constexpr uint32_t kHotKeyPressMs = 800;

}  // namespace

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
  if ((name == "hold" || name == "resume") && words.size() == 1) {
    base::logInfo("Call command: ", name);
    return holdCall(name == "hold");
  }
  if (name == "page" && words.size() == 2) {
    base::logInfo("Call command: page ", words[1]);
    return pageCommand(words[1]);
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

std::optional<std::string> IntercomApp::callQuery(const std::vector<std::string>& words) {
  if (words.size() != 1 || words.front() != "stats") {
    return std::nullopt;
  }
  sip::SipEngine* engine = slot_ != nullptr && !closing_ ? slot_->engine() : nullptr;
  const std::optional<sip::CallFigures> figures =
      engine != nullptr ? engine->callFigures() : std::nullopt;
  if (!figures) {
    return std::string(R"({"call":false,"reason":"no call is up"})");
  }
  const int64_t seconds = slot_->startTime != 0 ? std::time(nullptr) - slot_->startTime : 0;
  return qualityJson(*figures, seconds, holdText(engine->heldHere(), engine->heldThere()));
}

std::string IntercomApp::holdCall(bool hold) {
  if (closing_) {
    return "the program is closing";
  }
  if (std::optional<std::string> why = holdWithWaiting(hold)) {
    return *why;
  }
  sip::SipEngine* engine = slot_ != nullptr ? slot_->engine() : nullptr;
  if (engine == nullptr || engine->callState() != sip::kCallConnected) {
    return hold ? "no call is up to hold" : "no call is up to resume";
  }
  if (engine->heldHere() == hold) {
    return hold ? "the call is on hold already" : "the call is not on hold";
  }
  const bool tone = settings().readInt("Settings", "HoldTone", 1) != 0;
  engine->SetHold(hold, tone ? media::HoldSound::Tone : media::HoldSound::Silence);
  return {};
}

void IntercomApp::updateHoldButton() {
  if (hasWaitingCall()) {
    const sip::SipEngine* active = activeEngine();
    const bool up = active != nullptr && active->callState() == sip::kCallConnected && !closing_;
    window_->setHoldButton(up, up && active->heldHere());
    return;
  }
  const sip::SipEngine* engine = slot_ != nullptr ? slot_->engine() : nullptr;
  const bool up = engine != nullptr && slot_->connected && !closing_;
  window_->setHoldButton(up, up && engine->heldHere());
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
  playRingback();
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
  if (waitingCall_ && waitingRecord_) {
    waitingRecord_->answered = true;
    waitingAnsweredAt_ = std::chrono::steady_clock::now();
  }
  updateHoldButton();
  showCalls();
}

void IntercomApp::onSecondEarlyMedia(LineSlot& slot) {
  sip::SipEngine* second = slot.second();
  if (second == nullptr || closing_) {
    return;
  }
  base::logInfo("The second call's far end sends audio before answering; it is heard now");
  player_.Stop();
  playCall(second->ReceivingStream());
}

void IntercomApp::onSecondEnded(LineSlot& slot) {
  base::logInfo("The second call was stopped ...");
  if (waitingCall_) {
    waitingCallEnded(slot);
  } else {
    recorder_.Stop();
    player_.Stop();
    if (slot.connected && slot.engine() != nullptr && !closing_) {
      routeAudioTo(*slot.engine(), microphoneBeforeSecond_);
    }
  }
  microphoneBeforeSecond_ = false;
  updateHoldButton();
  // Not from within the ending engine's own event; an engine stays ready for the next call
  // that waits.
  env_.loop.post([this, alive = std::weak_ptr<int>(alive_)] {
    if (alive.lock() != nullptr && slot_ != nullptr) {
      slot_->releaseSecond();
      keepWaitingReady();
    }
  });
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
  for (const std::string& argument : plan.ignored) {
    base::logError("Command line argument not understood, ignored: ", argument);
  }
  for (const ArgumentStep& step : plan.steps) {
    switch (step.action) {
      case ArgumentAction::Dial:
        if (startOrAnswer(step.value) && slot_ != nullptr) {
          slot_->startTime = std::time(nullptr);
          updateIntercomButton();
        }
        break;
      case ArgumentAction::Call:
        startPhoneCall(step.value);
        break;
      case ArgumentAction::Answer:
        if (!answerWaitingCall()) {
          startWithSelectedContact();
        }
        break;
      case ArgumentAction::HangUp:
        hangUpFromCommandLine();
        break;
      case ArgumentAction::Hold:
      case ArgumentAction::Resume:
        if (const std::string why = holdCall(step.action == ArgumentAction::Hold); !why.empty()) {
          base::logError("Command line: ", why);
        }
        break;
      case ArgumentAction::Page:
        if (const std::string why = pageCommand(step.value); !why.empty()) {
          base::logError("Command line: -page: ", why);
        }
        break;
      case ArgumentAction::StopListening:
        pagingCommand(kCommandStopPage);
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
