// SPDX-License-Identifier: Apache-2.0
// IntercomApp: the door codes of the call that is up, and what the far end's digits do.
#include "app/intercom_app.h"
#include "app/intercom_app_shared.h"
#include "base/log.h"
#include "contacts/contact_text.h"
#include "platform/tick.h"

namespace quillet::app {

void IntercomApp::armDoorControl(LineSlot& slot) {
  sip::SipEngine& engine = *slot.engine();
  const std::string uri = engine.remoteUri();
  const std::string user = engine.remoteUser();
  std::string bookName;
  std::string bookNumber;
  const int32_t position = uri.empty() ? -1 : contacts::findContactByNumber(*contacts_, uri);
  if (position >= 0 && contacts_->seek(position)) {
    bookName = contacts_->nameAtCursor();
    bookNumber = contacts_->numberAtCursor();
  }
  const auto isFarEnd = [&](const std::string& contact) {
    for (const std::string* known :
         std::initializer_list<const std::string*>{&uri, &user, &bookName, &bookNumber}) {
      if (!known->empty() && contacts::equalsNoCase(*known, contact)) return true;
    }
    return false;
  };
  door_ = DoorControl(readDoorCodes(settings()), isFarEnd);
}

void IntercomApp::onDigitReceived(LineSlot& slot, char digit) {
  if (!slot.connected || door_.empty()) return;
  const DoorCode* code = nullptr;
  const std::string caller = slot.engine()->remoteUri();
  switch (door_.digit(digit, platform::tickMs(), &code)) {
    case DoorVerdict::None:
      return;
    case DoorVerdict::Accepted: {
      base::logInfo("Door: code " + std::to_string(code->index) + " from " + caller +
                    " accepted, running " + code->action);
      std::string error;
      if (!runDoorAction(code->action, error)) {
        base::logError("Door: action " + std::to_string(code->index) + " failed: " + error);
      }
      return;
    }
    case DoorVerdict::Wrong:
      base::logInfo("Door: wrong code from " + caller + " (" + std::to_string(door_.wrongCount()) +
                    " of " + std::to_string(DoorControl::kMostWrong) + ")");
      return;
    case DoorVerdict::TooManyWrong:
      base::logInfo("Door: " + std::to_string(DoorControl::kMostWrong) + " wrong codes from " +
                    caller + "; the call is ended");
      door_ = DoorControl();
      slot.engine()->HangUp();
      return;
  }
}

}  // namespace quillet::app
