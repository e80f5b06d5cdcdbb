// SPDX-License-Identifier: Apache-2.0
// IntercomApp's call history: noting the line's call from its first ring or dial to its
// end, writing it to the profile, showing the history and calling a far end back.
#include "app/intercom_app.h"
#include "base/log.h"
#include "platform/paths.h"

namespace quillet::app {

namespace {

constexpr size_t kShownCalls = 500;

}  // namespace

CallRecord IntercomApp::newCallRecord(const sip::SipEngine& engine, bool incoming, bool intercom) {
  CallRecord record;
  record.start = std::time(nullptr);
  record.incoming = incoming;
  record.intercom = intercom;
  record.uri = engine.remoteUri();
  record.name = engine.remoteDisplayName();
  return record;
}

void IntercomApp::beginCallRecord(sip::SipEngine& engine, bool incoming, bool intercom) {
  if (callRecord_) {
    finishCallRecord();  // an earlier call whose end was not reported
  }
  callRecord_ = newCallRecord(engine, incoming, intercom);
}

void IntercomApp::noteCallAnswered(const sip::SipEngine& engine) {
  if (callRecord_ && !callRecord_->answered) {
    callRecord_->answered = true;
    if (callRecord_->name.empty()) {
      callRecord_->name = engine.remoteDisplayName();  // the answer may bring it
    }
    answeredAt_ = std::chrono::steady_clock::now();
  }
}

void IntercomApp::noteCallEndReason(const std::string& reason) {
  if (callRecord_ && callRecord_->endReason.empty()) {
    callRecord_->endReason = reason;
  }
}

void IntercomApp::finishCallRecord() {
  if (!callRecord_) {
    return;
  }
  CallRecord record = std::move(*callRecord_);
  callRecord_.reset();
  writeCallRecord(std::move(record), answeredAt_);
}

void IntercomApp::writeCallRecord(CallRecord record,
                                  std::chrono::steady_clock::time_point answeredAt) {
  if (record.answered) {
    record.durationSeconds = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::steady_clock::now() - answeredAt)
                                 .count();
  } else if (record.endReason.empty()) {
    record.endReason = record.incoming ? "missed" : "not answered";
  }
  if (!platform::makeDirs(env_.paths.dataDir)) {
    base::logError("Call history: cannot create the data folder " + env_.paths.dataDir);
    return;
  }
  if (CallHistory(env_.paths.callHistoryFile()).append(record)) {
    showCallHistory();
  }
}

void IntercomApp::showCallHistory() {
  history_ = CallHistory(env_.paths.callHistoryFile()).read(kShownCalls);
  window_->setCallHistory(history_);
}

bool IntercomApp::callBack(int32_t historyRow) {
  if (historyRow < 0 || static_cast<size_t>(historyRow) >= history_.size() || callActive_) {
    return false;
  }
  const std::string address = history_[static_cast<size_t>(historyRow)].uri;
  base::logInfo("Calling back " + address + " ...");
  if (!startOrAnswer(address) || slot_ == nullptr) {
    return false;
  }
  slot_->startTime = std::time(nullptr);
  updateIntercomButton();
  return true;
}

}  // namespace quillet::app
