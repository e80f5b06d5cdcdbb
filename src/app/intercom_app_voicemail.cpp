// SPDX-License-Identifier: Apache-2.0
// IntercomApp: the line's voicemail box, its message-waiting state shown in the window, and
// the Voicemail command that calls it.
#include <ctime>
#include <string>

#include "app/intercom_app.h"
#include "app/intercom_app_shared.h"
#include "app/line_values.h"
#include "base/log.h"
#include "sip/mailbox_subscription.h"

namespace quillet::app {

void IntercomApp::watchVoicemail() {
  transport_->setMailboxHandler([this, alive = std::weak_ptr<int>(alive_)](
                                    const std::string&, const sip::MessageSummary& summary) {
    env_.loop.post([this, alive, summary] {
      if (alive.expired() || window_ == nullptr) return;
      window_->showVoicemail(summary.waiting, summary.newVoice);
    });
  });
}

bool IntercomApp::callVoicemail() {
  if (callActive_) return false;
  const LineValues line = readLineValues(settings(), 0);
  if (line.proxy.empty() && line.voicemailNumber.empty() && line.mailboxUri.empty()) {
    base::logError("Voicemail: the line has no server and no VoicemailNumber to call");
    return false;
  }
  const std::string address =
      sip::mailboxUri(line.voicemailNumber.empty() ? line.mailboxUri : line.voicemailNumber,
                      line.proxy, "sip:" + line.userName + "@" + line.proxy);
  base::logInfo("Calling the voicemail " + address + " ...");
  if (!startOrAnswer(address) || slot_ == nullptr) return false;
  slot_->startTime = std::time(nullptr);
  updateIntercomButton();
  return true;
}

}  // namespace quillet::app
