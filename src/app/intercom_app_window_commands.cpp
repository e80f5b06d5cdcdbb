// SPDX-License-Identifier: Apache-2.0
// IntercomApp: the window's commands (menus, buttons, keys) and its volume controls.
#include <algorithm>
#include <string>

#include "app/intercom_app.h"
#include "app/intercom_app_shared.h"
#include "audio/volume.h"
#include "base/log.h"
#include "base/settings_store.h"

namespace quillet::app {

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
    player_.SetDevice(store.readText("Settings", "PlayDevice"));
    audio::SetPlayVolume(player_, level);
  } else {
    store.writeInt("Settings", "RecordVolume", level);
    recorder_.SetRecordVolume(level);
  }
  showVolumes();
}

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
    case kCommandHold:
      if (slot_ != nullptr && slot_->engine() != nullptr) {
        const sip::SipEngine* engine = hasWaitingCall() ? activeEngine() : slot_->engine();
        const std::string why = holdCall(engine == nullptr || !engine->heldHere());
        if (!why.empty()) {
          base::logInfo("Hold: ", why);
        }
      }
      break;
    case kCommandVoicemail:
      callVoicemail();
      break;
    case kCommandPhoneCall:
      phoneCallSelectedContact();
      break;
    case kCommandPage:
    case kCommandStopPage:
      pagingCommand(id);
      break;
    case kCommandRefuse:
      if (slot_ != nullptr && slot_->engine() != nullptr &&
          slot_->engine()->callState() == sip::kCallIncoming) {
        ringingCaller_.clear();  // refused, not missed
        noteCallEndReason("refused");
        window_->noteRingingOver();
        slot_->engine()->HangUp();
      } else {
        refuseWaitingCall();
      }
      break;
    case kCommandAnswerWaiting:
      answerWaitingCall();
      break;
    case kCommandSwitchCall:
      if (const std::optional<std::string> why = holdWithWaiting(false); why && !why->empty()) {
        base::logInfo("Switch: ", *why);
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
      addContactFromWindow();
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
    case kCommandCallBack:
      callBack(window_->selectedHistoryRow());
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

}  // namespace quillet::app
