// SPDX-License-Identifier: Apache-2.0
// IntercomApp: the application's logic on the GUI thread. It starts and closes the
// program's parts (transport, line, contacts, microphone and speaker), decides about
// incoming calls (allow list, ring, answer on the first ring, the talk-back question),
// starts, answers and ends intercom calls, keeps do-not-disturb, and carries out the
// command-line options and hot keys. It reaches the window only through AppWindow.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/allow_list.h"
#include "app/app_window.h"
#include "app/arguments.h"
#include "app/call_history.h"
#include "app/door_control.h"
#include "app/line_slot.h"
#include "app/paging_settings.h"
#include "audio/cue_tone.h"
#include "audio/echo_control.h"
#include "audio/echo_suppressor.h"
#include "audio/player.h"
#include "audio/recorder.h"
#include "base/application.h"
#include "contacts/contact_store.h"
#include "media/paging_receiver.h"
#include "media/paging_sender.h"
#include "media/waiting_tone.h"
#include "sip/sip_trace.h"
#include "sip/sip_transport.h"

namespace quillet::app {

class IntercomApp : public base::Application,
                    private audio::RecorderListener,
                    private audio::PlayerListener {
 public:
  // Timers of the main loop.
  static constexpr uint32_t kBannerTimer = 1;
  static constexpr uint32_t kRestartTimer = 2;
  static constexpr uint32_t kHotKeyGuardTimer = 4;
  static constexpr uint32_t kHideTimer = 5;
  static constexpr uint32_t kAnswerDelayTimer = 7;  // answer-after / delay of the caller
  static constexpr uint32_t kQualityTimer = 8;      // the status panel's call figures
  static constexpr uint32_t kQualityRefreshMs = 1000;
  static constexpr uint32_t kRestartRetryMs = 7000;

  IntercomApp(base::AppEnvironment& environment, std::unique_ptr<AppWindow> window);
  ~IntercomApp() override;
  IntercomApp(const IntercomApp&) = delete;
  IntercomApp& operator=(const IntercomApp&) = delete;

  // base::Application
  bool initialise() override;
  void applyArguments(const std::vector<std::string>& arguments) override;
  void requestClose() override;
  std::string callCommand(const std::vector<std::string>& words) override;
  std::optional<std::string> callQuery(const std::vector<std::string>& words) override;

  // A command of the main window (menu, button, key) by its identifier.
  void command(int32_t id);
  // Starts an intercom call to the address, or answers the call waiting for this side,
  // and turns the microphone on into it. True when a call was started or answered; false,
  // and nothing changes, while a second call is placed or up.
  bool startOrAnswer(const std::string& address);
  // Places a phone call to the address: the far end rings until someone answers there (no
  // auto-answer is asked); meanwhile this side hears the ringback tone, or the far end's
  // early media once they come. The microphone goes on once the call is up. False, and
  // nothing changes, while the line has a call.
  bool placePhoneCall(const std::string& address);
  // The same, and the window follows (the Intercom button then ends or cancels the call).
  void startPhoneCall(const std::string& address);
  // The window's Phone Call: the selected contact, when the line has no call.
  void phoneCallSelectedContact();
  // Ends the current call of the line (an established call), or stops the microphone of
  // one still being placed, which then keeps ringing. A second call placed or up is ended
  // instead (the Intercom button let go, the hot key's end).
  void hangUp();
  void setDoNotDisturb(bool on);
  // A hot key by its identifier (its position among the Hotkey/Details records).
  void runHotKey(int32_t id);
  // Rebuilds the line's engine from the settings, waiting while it has a call.
  void restartEngine();
  // Opens the Options dialog on a page, refused while a call rings or is up; after OK the
  // status panel, volumes and contacts are refreshed and the engine restarted.
  void openOptions(int32_t page);
  // Play or record volume (dB, clamped to -127..127): saved and applied to the device.
  void setVolume(bool playback, int32_t level);
  // Asks and deletes the contact of the selected row; true when one was deleted.
  bool deleteSelectedContact();
  void refillContacts();
  bool addContactFromWindow();
  std::string rowNumber(size_t row);
  // The store position of the selected contact (-1: none).
  int32_t selectedPosition();
  contacts::ContactStore& contactStore() { return *contacts_; }
  // Calls the far end of a row of the call history (as shown, newest first) the way a
  // contact is called; false when there is no such row or the call could not start.
  bool callBack(int32_t historyRow);
  // Calls the line's voicemail (VoicemailNumber, else its mailbox); false when no call starts.
  bool callVoicemail();

  // Engine events of a slot (GUI thread).
  int onRing(LineSlot& slot, int32_t ring, int32_t previousRing);
  // Transport thread: the callers the first ring would refuse are refused before any
  // dialog exists. Reads only settings and the transport's do-not-disturb flag.
  sip::IncomingScreen screenIncoming(const sip::SipEngine& engine,
                                     const sip::IncomingCallFacts& facts,
                                     const std::string& callerAddress);
  void onConnected(LineSlot& slot);
  void onEnded(LineSlot& slot);
  void onHoldChanged(LineSlot& slot);
  // A digit the far end of the line's call keyed: door codes.
  void onDigitReceived(LineSlot& slot, char digit);
  // The line's second call (placed with the "consult" call command): while it is up the
  // microphone and speaker are with it, and the first call waits.
  void onSecondConnected(LineSlot& slot);
  void onSecondEnded(LineSlot& slot);
  // The second call's far end sends audio before it answers: that is heard instead of the
  // ringback tone.
  void onSecondEarlyMedia(LineSlot& slot);
  // The far end of the line's own call sends audio before it answers: heard at once on a
  // phone call; an intercom call keeps its calling sound.
  void onEarlyMedia(LineSlot& slot);
  // Call waiting (intercom_app_waiting.cpp). A call that arrives while the line's call is
  // up rings on the line's second engine: a quiet tone on the speaker, the window lists it.
  int onWaitingRing(LineSlot& slot, int32_t ring);
  // Transport thread: whether the second engine takes the call (Settings/CallWaiting, the
  // line's call up, then the line's own screening); else 486 as without call waiting.
  sip::IncomingScreen screenWaiting(const sip::SipEngine& engine,
                                    const sip::IncomingCallFacts& facts,
                                    const std::string& callerAddress);

  platform::MessageLoop& loop() { return env_.loop; }
  LineSlot* slot() { return slot_.get(); }
  sip::SipTransport& transport() { return *transport_; }
  bool callActive() const { return callActive_; }
  bool doNotDisturb() const { return transport_ != nullptr && transport_->doNotDisturb(); }
  int32_t currentSlot() const { return currentSlot_; }
  bool hotKeyGuard() const { return hotKeyGuard_; }

 private:
  // Audio listeners: level reports keep a pending call alive.
  void OnLevels(const audio::LevelReport* levels, uint32_t cookie) override;
  void OnPosition(const uint32_t* /*ms*/, uint32_t /*cookie*/) override {}
  void OnStopped(uint32_t cookie) override;

  void shutDown();
  void buildCaptureChain(const audio::SinkRef& stream);
  void callStarted(LineSlot& slot);
  // The door codes the far end of the call that just came up may use.
  void armDoorControl(LineSlot& slot);
  // The speaker plays the call's receiving stream (through the echo control's tap).
  // Plays a call's audio, after the intercom cue when `cue` is set.
  void playCall(audio::SourceRef receiving, bool cue = false);
  // The speaker, and the microphone when asked, go to the engine's call.
  void routeAudioTo(sip::SipEngine& engine, bool microphone);
  std::optional<int32_t> lineIndexOf(const std::string& number, std::string& error);
  std::string consultCommand(const std::string& target, const std::string& lineNumber);
  std::string joinCommand();
  std::string transferOutcomeText();
  void callStopped(LineSlot& slot);
  void noteRecentContact(LineSlot& slot);
  void restartNoActivityTimer(LineSlot& slot);
  bool startRingSound();
  void stopRingSound();
  void ringFinished();
  void askTalkBack(uint64_t call);
  IncomingVerdict judgeIncoming(sip::SipEngine& engine);
  bool isKnownSource(const std::string& host);
  bool refuseIncoming(sip::SipEngine& engine);
  void answerIntercom(LineSlot& slot, sip::SipEngine& engine);
  bool answerPhoneCall(LineSlot& slot, sip::SipEngine& engine);
  void playCallingSound();
  // The ringback tone on this side's speaker while a phone call is placed.
  void playRingback();
  void startEchoControl(uint32_t callRate);
  void intercom();
  // Shows the state of the line's voicemail box in the window as the server reports it.
  void watchVoicemail();
  // The lamps: who may watch this line, and the contacts' lines watched.
  void refreshLamps();
  void watchContactLines();
  void showLamp(const std::string& uri, std::optional<sip::LineState> state);
  void showLamps();
  void startWithSelectedContact();
  void hangUpFromCommandLine();
  // Puts the connected call on hold or resumes it: empty when asked of the line, else why
  // not.
  std::string holdCall(bool hold);
  void updateHoldButton();
  // Call waiting: answering the call that waits (the line's call is held first); hold and
  // resume while two calls are on, a resume switching to the held call; true when done.
  bool answerWaitingCall();
  bool refuseWaitingCall();
  std::optional<std::string> holdWithWaiting(bool hold);
  // The call the user deals with: the second call while it is up and not held, else the
  // line's call while it is on, else the second.
  sip::SipEngine* activeEngine();
  bool hasWaitingCall() const;
  void keepWaitingReady();
  void setWaitingTone(bool on);
  void showCalls();
  void waitingCallEnded(LineSlot& slot);
  bool endSecondCall();
  bool secondCallUp();
  void checkLine();
  void showLineInStatus();
  void updateIntercomButton();
  std::string selectedAddress();
  void showVolumes();
  void armBannerTimer(uint32_t delayMs);
  // Shows the connected call's figures in the status panel and again every second while
  // the call is up; clears them when none is.
  void refreshCallQuality();
  void carryOut(const ArgumentPlan& plan);
  // The call history (intercom_app_history.cpp): the line's call is noted from its first
  // ring or its dial, and written to the profile's history file when it ends.
  void beginCallRecord(sip::SipEngine& engine, bool incoming, bool intercom);
  void noteCallAnswered(const sip::SipEngine& engine);
  // The first reason given for the end of the call is the one kept.
  void noteCallEndReason(const std::string& reason);
  void finishCallRecord();
  // A call's record as its ring or dial begins it, and writing a record that is complete.
  static CallRecord newCallRecord(const sip::SipEngine& engine, bool incoming, bool intercom);
  void writeCallRecord(CallRecord record, std::chrono::steady_clock::time_point answeredAt);
  void showCallHistory();
  // Paging (intercom_app_paging.cpp): pages heard play on the speaker by the rules of
  // paging_settings.h; a page sent takes the microphone.
  void startPagingReceiver();
  void stopPaging();
  // Do-not-disturb and the call, as the receiver's admission reads them.
  void notePagingState();
  void onPageChange(const media::PageChange& change);
  void beginPage(const media::PageInfo& page);
  void playPage(const audio::SourceRef& audio);
  void endPage();
  void pagingCommand(int32_t id);
  // Pages the group from the microphone ("off": ends the page); empty, or why not.
  std::string pageCommand(const std::string& group);
  void stopSendingPage();

  base::AppEnvironment& env_;
  std::unique_ptr<AppWindow> window_;
  std::unique_ptr<contacts::ContactStore> contacts_;
  std::vector<contacts::ContactListRow> rows_;
  // The contacts' lines subscribed to, and what their lamps show.
  std::vector<sip::MailboxConfig> lampsWatched_;
  std::map<std::string, sip::LineState> lamps_;
  std::unique_ptr<sip::SipTrace> trace_;
  std::unique_ptr<sip::SipTransport> transport_;
  std::unique_ptr<LineSlot> slot_;
  audio::Recorder recorder_;
  audio::Player player_;
  audio::Player ringPlayer_;
  std::unique_ptr<audio::PlayPosition> playerPosition_;
  std::unique_ptr<audio::PlaybackQueue> playerQueue_;
  IncomingVerdict incoming_;  // the decision about the ringing call, made on its first ring
  bool cueNext_ = false;      // the next established call starts with the intercom cue
  // The echo control of the call being set up or up (none with echo control off).
  std::optional<audio::StreamRef<audio::EchoControl>> echo_;
  bool callActive_ = false;
  DoorControl door_;                     // the door codes of the call that is up
  bool microphoneBeforeSecond_ = false;  // the first call had the microphone on
  int32_t currentSlot_ = 1;              // 0: the default line's slot, 1: none
  bool hotKeyGuard_ = false;
  std::string ringingCaller_;  // an incoming call that rang and is not yet established
  bool closing_ = false;
  int32_t argumentLists_ = 0;  // argument lists applied: this start's, then handed over
  // Incoming calls are numbered so that a late step (the end of the ring sound, the
  // answer delay, the talk-back question) can tell whether its call is still the one ringing.
  uint64_t incomingCall_ = 0;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // tasks posted for later check it
  bool answerAfterRing_ = false;  // the first ring of incomingCall_ waits for the sound
  size_t banner_ = 0;
  std::optional<CallRecord> callRecord_;  // the line's call being noted
  std::chrono::steady_clock::time_point answeredAt_;
  std::optional<CallRecord> waitingRecord_;  // the call that came in waiting
  std::chrono::steady_clock::time_point waitingAnsweredAt_;
  std::vector<CallRecord> history_;  // as the window shows it
  std::unique_ptr<media::PagingReceiver> pager_;
  std::shared_ptr<PagingGate> pagingGate_;
  std::optional<media::PageInfo> page_;  // the page playing
  audio::SourceRef pageAudio_;           // and its audio, once it has come
  bool pageHeldCall_ = false;            // the page put the call on hold
  bool pageMicrophone_ = false;          // the microphone was on when the page began
  bool pageTone_ = false;
  bool pagePlayed_ = false;  // the page playing had audio (a page that only alerted is not logged)
  bool sendingPage_ = false;
  std::optional<audio::StreamRef<media::PageSender>> pageSender_;
  // Call waiting: the second engine's call is one that came in while the line's was up.
  bool waitingCall_ = false;
  bool audioOnSecond_ = false;  // the speaker and microphone are with the second call
  // Read by the screens on the transport thread: the line's call is up, a call that came
  // in waiting is on.
  std::atomic<bool> lineCallUp_{false};
  std::atomic<bool> waitingCallUp_{false};
  media::WaitingToneSwitch waitingTone_ = std::make_shared<std::atomic<bool>>(false);
  int8_t microphoneLevel_ = -127;
  int8_t speakerLevel_ = -127;
};

}  // namespace quillet::app
