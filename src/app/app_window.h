// SPDX-License-Identifier: Apache-2.0
// What the intercom application asks of its main window: showing and hiding, the contact
// list, the Intercom and Do Not Disturb buttons, menu checks and the status panel with the
// line's transport and its problems. The Qt window implements it; HeadlessWindow keeps the
// same state without drawing anything.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/call_history.h"
#include "sip/call_media.h"
#include "sip/transport_kind.h"

namespace quillet::app {

// Command identifiers of the main window that the application logic handles.
enum AppCommand : int32_t {
  kCommandIntercomDown = 41,  // Intercom button pushed down
  kCommandIntercomUp = 42,    // Intercom button released
  kCommandExit = 801,
  kCommandShow = 3001,
  kCommandIntercom = 1000,      // menu "Intercom", key "1"
  kCommandDoNotDisturb = 1008,  // menu and button "Do Not Disturb", key "2"
  kCommandOptions = 1010,
  kCommandPlayVolumeUp = 1025,
  kCommandPlayVolumeDown = 1026,
  kCommandRecordVolumeUp = 1027,
  kCommandRecordVolumeDown = 1028,
  kCommandHold = 1030,       // menu and button "Hold" / "Resume": toggles the call's hold
  kCommandVoicemail = 1033,  // menu "Voicemail" and the indicator: calls the line's voicemail
  kCommandPage = 1031,       // menu "Page": pages Paging/SendGroup from the microphone, or stops
  kCommandStopPage = 1032,   // "Stop listening" to the page that plays
  kCommandAnswerWaiting = 1034,  // "Answer" the call that waits: the current call is held
  kCommandSwitchCall = 1035,     // "Switch": holds the active call and resumes the held one
  kCommandPhoneCall = 1036,      // "Phone Call": calls the selected contact, ringing there
  kCommandAddressBook = 2001,
  kCommandEditSelected = 3401,
  kCommandRefuse = 4001,
  kCommandAddContact = 8001,
  kCommandEditContact = 8002,
  kCommandDeleteContact = 8003,
  kCommandCallBack = 8010,  // call back the far end of the selected history row
  kCommandCheckLine = 15001,
  // Private messages of the main window.
  kMessageClose = 1126,
  kMessageShow = 1128,
  kMessageOptions = 0x400 + 4096,       // Options on its first page
  kMessageOptionsLines = 0x400 + 4097,  // Options on its Lines page
  kMessageRefillContacts = 32971,
};

// Pages of the Options dialog, in its page menu's order.
enum OptionsPage : int32_t {
  kOptionsPageRecording = 0,
  kOptionsPageQuality = 1,
  kOptionsPageLines = 2,
  kOptionsPagePorts = 3,
  kOptionsPageStun = 4,
  kOptionsPageStaticIp = 5,
  kOptionsPageLogging = 6,
};

enum class IntercomButtonState { Ready, Disabled, InCall };

// One of the line's calls as the window lists them while a second call waits or is up.
enum class CallShown { Active, Held, Waiting };
struct CallEntry {
  std::string party;
  CallShown state = CallShown::Active;
  bool operator==(const CallEntry&) const = default;
};

// A contact's lamp: its line's state, Unknown while no NOTIFY has told it.
enum class ContactLamp { Unknown, Free, Ringing, Busy, DoNotDisturb };

class AppWindow {
 public:
  virtual ~AppWindow() = default;

  virtual void show() = 0;  // restore and bring to the front
  virtual void hide() = 0;
  virtual bool visible() const = 0;

  // The contact list: its rows in display order and the selected row (-1: none).
  virtual void setContactRows(const std::vector<std::string>& rows) = 0;
  virtual int32_t selectedRow() const = 0;
  virtual void selectRow(int32_t row) = 0;
  virtual void enableContactList(bool enabled) = 0;
  virtual void showContactHint(const std::string& text) = 0;
  // A lamp per row of the contact list (the rows as last set).
  virtual void setContactLamps(const std::vector<ContactLamp>& lamps) = 0;

  // "Intercom (F5)" / "Cancel (F5)" and the button's picture.
  virtual void setIntercomButton(IntercomButtonState state, const std::string& text) = 0;
  virtual void setDoNotDisturbButton(bool pressed) = 0;
  virtual void checkMenuItem(int32_t command, bool checked) = 0;

  // The status panel: the line's display name, user name and this device's address.
  virtual void setLineStatus(const std::string& displayName, const std::string& userName,
                             const std::string& address) = 0;
  // The transport the line registers over, shown beside the line (TLS with a lock).
  virtual void setLineTransport(sip::TransportKind kind) = 0;
  // A problem of the line's transport security (say a server certificate refused): shown
  // and logged, and kept until the line registers again (noteLineRegistered) or another
  // problem replaces it; an empty text takes it away.
  virtual void showLineProblem(const std::string& text) = 0;
  virtual void noteLineRegistered() = 0;
  virtual void setBanner(const std::string& text) = 0;
  // Microphone and speaker levels in dB (-127: silence).
  virtual void setLevels(int8_t microphone, int8_t speaker) = 0;

  // The program's help contents (command 9).
  virtual void openHelp() = 0;
  // The volume controls (dB, -127..127).
  virtual void setVolumes(int32_t /*play*/, int32_t /*record*/) {}
  // The running call's figures in the status panel (null: no call is up).
  virtual void setCallQuality(const sip::CallFigures* /*figures*/) {}

  // Dialogs the window owns; a window without them does nothing. openOptions answers true
  // when the dialog closed with OK; contact dialogs answer true when the store changed.
  virtual bool openOptions(int32_t /*page*/) { return false; }
  virtual bool addContact() { return false; }
  virtual bool editContact(int32_t /*position*/) { return false; }
  virtual void showAddressBook() {}
  // Closes the address-book window and returns once it is closed.
  virtual void closeAddressBook() {}

  // System-wide hot keys (Hotkey/Details), released while the Options dialog is open.
  virtual void registerHotKeys() {}
  virtual void unregisterHotKeys() {}

  // A ringing call the user has to answer, its end when answered or refused, and a call
  // that ended while it rang (missed).
  virtual void noteIncomingCall(const std::string& /*caller*/) {}
  virtual void noteMissedCall(const std::string& /*caller*/) {}
  virtual void noteRingingOver() {}
  // The media encryption of the ringing or current call, as the log names it (a padlock
  // is shown while it is not empty); empty when plain or when no call is on. Told again
  // while the call goes on (the same value changes nothing).
  virtual void setCallEncryption(const std::string& /*encryption*/) {}
  // The Hold button and menu entry: usable while a call is connected; "Resume" while the
  // call is held here.
  virtual void setHoldButton(bool enabled, bool held) = 0;
  // The line's calls while a call waits or two are on (empty: one call or none): who, and
  // which is active, held or waiting to be answered (kCommandAnswerWaiting, kCommandRefuse);
  // with one active and one held, kCommandSwitchCall swaps them.
  virtual void showCalls(const std::vector<CallEntry>& /*calls*/) {}
  // The page playing on the speaker ("group, caller, priority"; empty: none), shown with a
  // way to stop listening (kCommandStopPage), and whether this side is paging.
  virtual void showPage(const std::string& /*text*/) {}
  virtual void setPaging(bool /*sending*/) {}
  // The call history, newest first, and the row selected in it (-1: none).
  virtual void setCallHistory(const std::vector<CallRecord>& /*calls*/) {}
  virtual int32_t selectedHistoryRow() const { return -1; }
  // The line's voicemail box: whether messages wait, and how many new ones (-1: unknown).
  virtual void showVoicemail(bool /*waiting*/, int32_t /*newMessages*/) {}
};

// The window of a headless run: remembers what a window would show.
class HeadlessWindow : public AppWindow {
 public:
  void show() override { visible_ = true; }
  void hide() override { visible_ = false; }
  bool visible() const override { return visible_; }

  void setContactRows(const std::vector<std::string>& rows) override;
  int32_t selectedRow() const override { return selected_; }
  void selectRow(int32_t row) override;
  void setContactLamps(const std::vector<ContactLamp>& lamps) override { lamps_ = lamps; }
  const std::vector<ContactLamp>& contactLamps() const { return lamps_; }
  void enableContactList(bool enabled) override { contactListEnabled_ = enabled; }
  void showContactHint(const std::string& text) override;

  void setIntercomButton(IntercomButtonState state, const std::string& text) override {
    buttonState_ = state;
    buttonText_ = text;
  }
  void setDoNotDisturbButton(bool pressed) override { doNotDisturb_ = pressed; }
  void setHoldButton(bool enabled, bool held) override {
    holdEnabled_ = enabled;
    held_ = held;
  }
  void checkMenuItem(int32_t command, bool checked) override;

  void setLineStatus(const std::string& displayName, const std::string& userName,
                     const std::string& address) override;
  void setLineTransport(sip::TransportKind kind) override { transport_ = kind; }
  void showLineProblem(const std::string& text) override;
  void noteLineRegistered() override { lineProblem_.clear(); }
  void setBanner(const std::string& text) override { banner_ = text; }
  void openHelp() override;
  void setLevels(int8_t microphone, int8_t speaker) override {
    microphone_ = microphone;
    speaker_ = speaker;
  }
  void setCallQuality(const sip::CallFigures* figures) override {
    callQuality_ = figures != nullptr ? std::optional<sip::CallFigures>(*figures) : std::nullopt;
  }
  void setCallHistory(const std::vector<CallRecord>& calls) override { history_ = calls; }
  void showCalls(const std::vector<CallEntry>& calls) override { calls_ = calls; }
  const std::vector<CallEntry>& calls() const { return calls_; }
  void showPage(const std::string& text) override { page_ = text; }
  void setPaging(bool sending) override { paging_ = sending; }
  const std::string& page() const { return page_; }
  bool paging() const { return paging_; }
  int32_t selectedHistoryRow() const override { return historyRow_; }
  void selectHistoryRow(int32_t row) { historyRow_ = row; }
  const std::vector<CallRecord>& history() const { return history_; }

  // What the window shows (tests).
  const std::vector<std::string>& rows() const { return rows_; }
  bool contactListEnabled() const { return contactListEnabled_; }
  IntercomButtonState buttonState() const { return buttonState_; }
  const std::string& buttonText() const { return buttonText_; }
  bool doNotDisturbPressed() const { return doNotDisturb_; }
  bool holdEnabled() const { return holdEnabled_; }
  bool held() const { return held_; }
  bool menuChecked(int32_t command) const;
  const std::string& status() const { return status_; }
  const std::string& banner() const { return banner_; }
  sip::TransportKind lineTransport() const { return transport_; }
  const std::string& lineProblem() const { return lineProblem_; }
  const std::optional<sip::CallFigures>& callQuality() const { return callQuality_; }
  void showVoicemail(bool waiting, int32_t newMessages) override {
    voicemailWaiting_ = waiting;
    voicemailNew_ = newMessages;
  }
  bool voicemailWaiting() const { return voicemailWaiting_; }
  int32_t voicemailNew() const { return voicemailNew_; }

 private:
  bool visible_ = true;
  std::vector<std::string> rows_;
  std::vector<ContactLamp> lamps_;
  int32_t selected_ = -1;
  bool contactListEnabled_ = true;
  IntercomButtonState buttonState_ = IntercomButtonState::Disabled;
  std::string buttonText_;
  bool doNotDisturb_ = false;
  bool holdEnabled_ = false;
  bool held_ = false;
  std::vector<int32_t> checked_;
  std::string status_;
  std::string banner_;
  sip::TransportKind transport_ = sip::TransportKind::Udp;
  std::string lineProblem_;
  std::optional<sip::CallFigures> callQuality_;
  std::vector<CallRecord> history_;
  std::vector<CallEntry> calls_;
  int32_t historyRow_ = -1;
  std::string page_;
  bool paging_ = false;
  int8_t microphone_ = -127;
  int8_t speaker_ = -127;
  bool voicemailWaiting_ = false;
  int32_t voicemailNew_ = -1;
};

}  // namespace quillet::app
