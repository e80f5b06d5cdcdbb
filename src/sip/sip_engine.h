// SPDX-License-Identifier: Apache-2.0
// SipEngine: the per-line user agent the application talks to. It holds at most one call
// at a time and runs it on a thread of its own: the incoming-call decision, ringing,
// answering, placing calls (with redirects, authentication, time limits and the next server
// of the destination when one fails), the in-call loop; ended dialogs go to the
// DialogReaper. Events reach the application through EngineEvents on the GUI thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "audio/player.h"
#include "audio/recorder.h"
#include "audio/stream_pump.h"
#include "audio/stream_recorder.h"
#include "base/notify_window.h"
#include "base/worker_thread.h"
#include "platform/event.h"
#include "sip/auto_answer.h"
#include "sip/call_media.h"
#include "sip/engine_events.h"
#include "sip/in_dialog.h"
#include "sip/mailbox_subscription.h"
#include "sip/registration.h"
#include "sip/reliable_provisional.h"
#include "sip/session_timer.h"
#include "sip/sip_call.h"
#include "sip/sip_dialog.h"
#include "sip/sip_message.h"

namespace quillet::sip {

class SipTransport;

// What a line gives its engine.
struct LineIdentity {
  std::string displayName;
  std::string userName;
  std::string server;
  std::string outboundServer;
  std::string authUser;
  std::string password;
  double priority = 0.9;
  std::optional<TransportKind> transport;  // nothing: as the server's URI says
  TlsSettings tls;
  uint32_t answerHeaders = kAnswerModeHeader;  // what an intercom INVITE carries
  // An engine that only places calls (a second call, also on another line): it does not
  // register, refuses incoming calls with 486 unless an incoming screen is set (which then
  // decides), and when idle is no sign the line is free.
  bool placesCallsOnly = false;
  // The voicemail box to watch (a URI, "user@host" or a user at the server; empty: the
  // line's own address). Only a line with a server has one.
  std::string mailbox;
};

// What the application weighs about an incoming call besides the caller's address.
struct IncomingCallFacts {
  AutoAnswerRequest autoAnswer;
  bool viaProxy = false;         // the INVITE came from the line's server or outbound server
  std::string sourceHost;        // the address it came from ("192.0.2.7", "[2001:db8::7]")
  std::string assertedIdentity;  // P-Asserted-Identity as a bare URI, only when via the proxy
};

enum CallState : int32_t {
  kCallIdle = 0,
  kCallIncoming = 1,
  kCallOutgoing = 2,
  kCallIntercom = 3,
  kCallFarRinging = 4,
  kCallConnected = 5,
};

enum CallCommand : int32_t {
  kCommandNone = 0,
  kCommandAnswer = 1,
  kCommandTransfer = 2,
  kCommandJoin = 3,
  kCommandHandOver = 4,
  kCommandHangUp = 6,
  kCommandHold = 7,
  kCommandResume = 8,
};

// Whether a transfer can start now: a connected call, and a target that is an address (a
// bare number needs the line's server).
enum class TransferCheck { Ready, NoCall, Invalid, NoServer };

// How the last transfer or join asked of the engine ended: the far end taken over (by
// REFER, or connected to the other party by a bridge), or the call went on (or ended)
// without that.
enum class TransferOutcome : int32_t { None, Pending, Done, Failed };

// Started: the call rings here. Busy: the line has a call. Refused: the screen answered it.
// Failed: no call could be made (descriptors ran out); the caller gets 503.
enum class IncomingResult { Started, Busy, Refused, Failed };

// The application's first look at an incoming INVITE, before any dialog exists: status 0
// lets it through, any other status refuses it at once with those header lines.
struct IncomingScreen {
  int32_t status = 0;
  std::string headerLines;
};

// The engine is also the listener of its own stream recorder (the far end's audio being
// recorded) and stream pump (a source being played into the call); the cookies tell the two
// apart since both listeners have slots of the same shape.
class SipEngine : public LineInterface,
                  public base::WorkerThread,
                  public base::NotifyWindow,
                  public audio::RecorderListener,
                  public audio::PlayerListener {
 public:
  static constexpr uint32_t kRingRepeatMs = 2000;
  static constexpr uint32_t kRingLimitMs = 120000;     // an unanswered call is refused then
  static constexpr uint32_t kInviteResendMs = 500;     // T1: timer A starts here and doubles
  static constexpr uint32_t kNoAnswerLimitMs = 32000;  // timer B: 64·T1
  // A server of the destination silent this long (no response at all) is left for the
  // next server of its resolution, where there is one.
  static constexpr uint32_t kServerSilenceMs = 4000;
  static constexpr uint32_t kAfterProvisionalLimitMs = 65000;
  static constexpr uint32_t kRedirectNoAnswerLimitMs = 2000;
  static constexpr uint32_t kRedirectAfterProvisionalLimitMs = 10000;
  static constexpr uint32_t kFinalResendMs = 350;
  static constexpr uint32_t kFinalGiveUpMs = 8000;
  static constexpr uint32_t kNotifyWaitMs = 3000;  // the transferee's NOTIFY
  static constexpr uint32_t kReferAcceptLimitMs = 5000;
  static constexpr uint32_t kReferAcceptedLimitMs = 65000;
  static constexpr int32_t kHandOverWaitMs = 20000;
  // Recording: the grace before the no-activity rule first applies, and the buffer split.
  static constexpr uint32_t kRecordingGraceMs = 5000;
  static constexpr int32_t kLongBufferMs = 6400;
  static constexpr int32_t kShortBufferMinMs = 800;
  static constexpr uint32_t kShortBufferLimitMs = 400;
  static constexpr uint32_t kLongBufferHangMs = 6000;
  static constexpr int32_t kLevelsDefaultBufferMs = 10000;
  // Seeking a played source stops this far before the end of the kept source.
  static constexpr int64_t kSeekEndMarginMs = 1500;

  enum RecordingMode : int32_t { kNotRecording = 0, kRecordingIntoSink = 1, kRecordingLevels = 2 };

  // Adds the engine to the transport and the line's registration; `media` (never null)
  // carries its calls' audio.
  SipEngine(SipTransport& transport, const LineIdentity& line, std::unique_ptr<CallMedia> media);
  ~SipEngine() override;
  SipEngine(const SipEngine&) = delete;
  SipEngine& operator=(const SipEngine&) = delete;

  // Replaces the events (the engine owns them); null restores the defaults.
  void setEngineEvents(std::unique_ptr<EngineEvents> events);
  // The screen runs on the transport thread for each INVITE that could start a call, so
  // that a caller who will be refused costs no dialog, thread or descriptor.
  // Its arguments: this engine, the facts of the call and the caller's address as
  // remoteUri() would report it.
  using Screen =
      std::function<IncomingScreen(const SipEngine&, const IncomingCallFacts&, const std::string&)>;
  void setIncomingScreen(Screen screen);
  bool placesCallsOnly() const { return line_.placesCallsOnly; }
  EngineEvents& events() { return *events_; }

  // Line interface.
  int IsInCall() override { return callState_ != kCallIdle; }
  int Answer() override;
  int Dial(std::string_view target) override;
  int LineKind() override { return 2; }
  void SendDtmf(std::string_view digits) override;
  void Transfer(std::string_view target) override;
  TransferCheck checkTransfer(std::string_view target) const {
    return checkTransfer(target, line_.server);
  }
  // The same for a target dialled on a line with `server` (a second call on another line).
  TransferCheck checkTransfer(std::string_view target, std::string_view server) const;
  // The outcome of the last Transfer or Join (Pending from the request until it ended).
  TransferOutcome transferOutcome() const { return transferOutcome_; }
  void HangUp() override;
  // Attended transfer: the far ends of this engine's call and of `other`'s call are
  // connected to each other (REFER with Replaces on the same line, re-INVITE otherwise),
  // and both calls end here. The call thread holds `other` until the join is over: its
  // owner lets its own reference go only once no other is left (use_count() of 1, checked
  // on the GUI thread, which alone makes copies), so that `other` dies on the GUI thread.
  void Join(std::shared_ptr<SipEngine> other);
  // Puts the connected call on hold (a re-INVITE offering "sendonly", or "inactive" when
  // the far end holds it already; the far end then hears `sound`) or resumes it (offering
  // "sendrecv"). A refused or unanswered re-INVITE leaves the call as it was, with a log
  // line; a 491 is tried again after the wait of requestPendingWaitMs.
  void SetHold(bool hold, media::HoldSound sound = media::HoldSound::Tone);
  // Whether the call is held here (our last accepted offer or answer said so), and whether
  // the far end holds it (its last SDP said it takes no audio).
  bool heldHere() const { return heldHere_; }
  bool heldThere() const { return heldThere_; }
  // Ends the call in any state and waits for the call thread: the dialog is with the
  // DialogReaper when this returns (closing the program).
  void EndCall();
  void PlayIntoCall(const audio::SourceRef& source) override;
  void SeekPlayIntoCall(int32_t ms) override;
  void RecordCall(const audio::SinkRef& sink, int32_t maxLengthMs, int8_t startLevel,
                  int32_t bufferMs) override;
  void RecordCallLevels(int32_t maxLengthMs, int8_t startLevel, int32_t bufferMs) override;
  void RecordCallFrom(int32_t maxLengthMs, const audio::SourceRef& source) override;
  void StopMedia() override;
  // A new sending stream of the call: what is written into it goes to the far end. Stops a
  // source being played into the call.
  audio::SinkRef SendingStream() override;
  // A new receiving stream of the call: the far end's audio, 8000 Hz mono. Stops a
  // recording of the call.
  audio::SourceRef ReceivingStream() override;
  int IsRecording() override;
  // An intercom call: the INVITE asks the far end to answer by itself.
  int DialIntercom(std::string_view target);
  // Answers the ringing call as one answered by itself: the 200 says so ("Answer-Mode:
  // Auto", or "Priv-Answer-Mode: Auto" when that was asked for).
  int AnswerAutomatically();
  // Refuses the ringing call with `status` (and the header lines, each ending in CR LF)
  // instead of 487.
  void Refuse(int32_t status, std::string headerLines = {});
  // Facts of the current incoming call (set before its first ring is reported).
  const IncomingCallFacts& incomingFacts() const { return incoming_; }

  // Transport side: the incoming-call policy's try on this engine. Runs on the transport
  // thread under the transport's engine list lock.
  IncomingResult incomingInvite(const SipMessage& invite);
  bool userMatches(std::string_view uriUser) const;
  bool isIdle() const { return callState_ == kCallIdle; }
  const LineIdentity& line() const { return line_; }
  std::string capabilityOffer();

  // The event pump: raises events for what changed (GUI thread). Normally run by the
  // notification the call thread posts; tests may call it directly.
  void OnNotify() override;

  int32_t callState() const { return callState_; }
  // The registration of this engine's line (its server, identity and the way there).
  RegistrationConfig registrationConfig() const;
  // The media encryption of the call ("SRTP AES_CM_128_HMAC_SHA1_80 (SDES)"), known once
  // its SDP was taken; empty while the media is plain.
  std::string mediaEncryption() const { return media_->encryption(); }
  // The connected call's figures so far; none while no call is connected.
  std::optional<CallFigures> callFigures() const {
    return callState_ == kCallConnected ? media_->figures() : std::nullopt;
  }
  int32_t ringCount() const { return ringCount_; }
  // The far end's texts are written by the transport or call thread when a call starts or
  // is replaced and read on the GUI thread: each is copied out under remoteLock_.
  std::string remoteUser() const;
  // The far end's address: the URI of the caller (incoming) or of the dial target
  // (outgoing) without its parameters and without the "sip:" scheme, as
  // "alice@127.0.0.1:5090".
  std::string remoteUri() const;
  bool playing() const { return playing_; }
  int32_t recordingMode() const { return recordingMode_; }
  std::string remoteDisplayName() const;
  // Who the call was for: the "target" user of an incoming call, the line user otherwise.
  std::string targetUser() const;
  const std::string& localNameAddr() const { return localNameAddr_; }
  // How long a bridge of two transferred parties waits in silence before probing them
  // (tests shorten it).
  void setBridgeQuietProbe(uint32_t ms) { bridgeQuietMs_ = ms; }
  // The session interval this side asks for and the least it accepts, in seconds (tests
  // shorten them). Set before a call starts.
  void setSessionInterval(uint32_t seconds, uint32_t minimum) {
    sessionSeconds_ = seconds;
    minSessionSeconds_ = minimum;
  }
  // Whether the outgoing call's far end sends audio before its answer (its early media).
  bool earlyMedia() const { return earlyMedia_; }

 protected:
  void Run() override;  // the call thread

  // Reports of the stream recorder and the stream pump (GUI thread).
  void OnStopped(uint32_t cookie) override;
  void OnPosition(const uint32_t* ms, uint32_t cookie) override;
  void OnLevels(const audio::LevelReport* levels, uint32_t cookie) override;

 private:
  enum class Placed { Success, Failed, FailedWithCancel };
  struct Candidate {
    std::string uri;
    double q = 0.5;
  };

  // Whether this engine subscribes to its line's voicemail box, and that subscription.
  bool watchesMailbox() const;
  MailboxConfig mailboxConfig() const;
  bool startCall(int32_t state, std::unique_ptr<SipCall> call, std::optional<SipMessage> invite,
                 std::string targetUser = {}, IncomingCallFacts facts = {});
  IncomingCallFacts factsOf(const SipMessage& invite) const;
  int dialTarget(std::string_view target, bool intercom);
  void postNotify();
  // A digit the far end sent (telephone event or INFO), for the GUI thread's report.
  void takeDigit(char digit);
  void setState(int32_t state);
  bool stopOrHangUp();

  // Call thread pieces.
  bool ringingLoop();
  // Whether an INVITE's offer is refused with 488 before ringing: its media could not be
  // safe (see CallMedia::refusalStatus).
  bool refuseUnsafeMedia(const SipMessage& invite);
  bool acceptInvite(const SipMessage& invite, SipCall& call, std::string_view extraHeaders = {});
  int finalResponse(const SipMessage& invite, SipCall& call, const ResponseSpec& form,
                    std::optional<SipMessage>* ack);
  // Places the INVITE of call_ (Replaces when given); a ringing far end sets the state
  // to far-ringing when `ringingNotifications`.
  bool placeInvite(uint32_t answerHeaders, std::string_view replaces = {},
                   bool ringingNotifications = true);
  // The INVITE's server failed (`why`, for the log line): it is marked as such and, when
  // the destination resolves to a server not in `servers` now, a new INVITE of call_ (a
  // new transaction) to it, which joins `servers`. Nothing when none is left.
  std::optional<DialogRequest> nextServer(const DialogRequest& invite,
                                          std::vector<SipTarget>& servers, std::string_view why);
  void inCallLoop();

  // Before the answer (sip_engine_early.cpp). A reliable provisional response of ours and
  // the PRACK of one of the far end's.
  struct PrackState {
    std::optional<DialogRequest> request;  // the PRACK waiting for its response
    uint32_t lastNumber = 0;               // RSeq of the last reliable response taken
    uint32_t nextMs = 0;
    uint32_t intervalMs = 0;
    uint32_t startMs = 0;
  };
  // An 18x to our INVITE: it makes the early dialog, its SDP starts the early media, and a
  // reliable one is acknowledged with PRACK.
  void takeProvisional(const SipMessage& response, uint32_t inviteCSeq, PrackState& prack);
  // The far end's early SDP, taken as the answer: the media start at once.
  void takeEarlyMedia(const std::string& sdp);
  // Resends the PRACK (timer E) until `response` (when not null) answers it; the wait until
  // its next send.
  void drivePrack(PrackState& prack, const SipMessage* response);
  static int32_t prackWaitMs(const PrackState& prack, int32_t otherwise);
  // The 2xx's SDP: the early media's again (the same stream goes on), another (the media
  // switch to it), or none (what was taken stands).
  bool takeFinalAnswer(const SipMessage& response);
  // The 180 of an incoming call, reliable when the caller supports that, and its resends.
  void sendRinging();
  // Answers a PRACK: 200 when it names our reliable response, 481 otherwise.
  bool answerPrack(SipCall& call, const SipMessage& prack);

  // Session timer and UPDATE (sip_engine_session.cpp).
  std::string sessionRequestLines() const;
  // A 422 to our INVITE: true when its Min-SE raises the interval asked for (try again).
  bool raiseSessionInterval(const SipMessage& response);
  // The timer from a 2xx to a request of ours (stopped when the 2xx names no interval).
  void startSessionTimerFrom(const SipMessage& response);
  // The answering side's session timer lines of a request (empty without a timer); starts
  // the timer when `start`.
  std::string answerSessionLines(const SipMessage& request, bool start);
  // The refresh when due (an UPDATE when the far end allows it, else a re-INVITE) and the
  // end of a session not refreshed. false: the call is over.
  bool keepSession();
  // A refresh that got `status`: the call ends when it timed out or the dialog is gone
  // (false); otherwise it goes on until the session expires.
  bool refreshRefused(int32_t status);
  bool onUpdate(SipCall& call, const SipMessage& update);
  // The hold or resume command on the connected call. false: the dialog is over.
  bool changeHold(bool hold);
  // What this side asks for in an offer or answer that does not change the hold: both
  // ways, or only sending while it holds the call.
  media::MediaDirection wantedDirection() const;
  // Notes what the far end's last SDP said of the direction (logged when that changed).
  void noteFarDirection();
  // false: the dialog is over.
  bool inDialogRequest(SipCall& call, const SipMessage& request);
  // `call` with the generic answers for requests that arrive during an exchange.
  DialogSide genericSide(SipCall& call);
  // The failed blind transfer's way: call the target and connect it to the far end by
  // re-INVITE. true: the call is over here.
  bool transferByReInvite(const std::string& target);
  // Connects the far end of call_ with that of `second` by re-INVITE: into a CallBridge
  // (true: the call is over here), or the call goes on with one of them.
  bool connectByReInvite(std::unique_ptr<SipCall> second);
  // A transfer or join that has not succeeded by now has failed.
  void settleTransfer();
  // The join command on this engine's connected call. true: the call is over here.
  bool joinWith(SipEngine& other);
  // The other engine's side of a join: its dialog, handed over (null when none came).
  std::unique_ptr<SipCall> takeHandedOver();
  bool inCallRequest(const SipMessage& request);
  // Being transferred: the new call to the Refer-To target takes this one's place when it
  // is answered. false: the dialog is over.
  bool onRefer(const SipMessage& refer);
  // Reports the outcome of a transfer to the transferor in `call`; the final status of the
  // NOTIFY (0 when none came).
  int32_t notifyTransferor(SipCall& call, int32_t status);
  // Blind transfer of call_'s far end to `referTo`. true: the transfer succeeded (or the
  // call ended meanwhile) and the call is over.
  bool referAsTransferor(const std::string& referTo);
  // After a 491: waits the glare back-off, handling requests that arrive. false: the
  // call ended meanwhile.
  bool glareBackOff();
  std::unique_ptr<SipCall> makeOutgoingCall(std::string_view remoteNameAddr);
  std::string contactFor(const SipMessage& request) const;
  // The address the call's first request goes to (0 when it does not resolve).
  platform::SocketAddress callNextHop() const;
  void setRemote(const std::string& remoteNameAddr);
  void startRecording(const audio::SinkRef& sink, int32_t maxLengthMs, int8_t startLevel,
                      int32_t bufferMs, RecordingMode mode);

  SipTransport& transport_;
  LineIdentity line_;
  std::string localNameAddr_;
  std::string addressOfRecord_;
  std::unique_ptr<CallMedia> media_;
  std::unique_ptr<EngineEvents> events_;
  Screen screen_;  // set before the engine meets calls

  std::mutex engineLock_;  // starting a call
  std::atomic<int32_t> callState_{kCallIdle};
  std::atomic<int32_t> reportedState_{kCallIdle};
  std::atomic<int32_t> ringCount_{0};
  std::atomic<int32_t> ringsReported_{0};
  std::atomic<int32_t> command_{kCommandNone};
  std::atomic<bool> heldHere_{false};
  std::atomic<bool> heldThere_{false};
  std::atomic<int32_t> holdReported_{0};  // heldHere + 2 heldThere, as last reported
  std::atomic<media::HoldSound> holdSound_{media::HoldSound::Tone};
  std::atomic<bool> dtmfPending_{false};
  std::atomic<bool> dtmfDone_{false};
  std::mutex digitsInLock_;
  std::string digitsIn_;  // received digits not yet reported; guarded by digitsInLock_
  platform::Event commandEvent_{platform::Event::Reset::Manual};
  platform::Event serverFailed_{platform::Event::Reset::Auto};  // the transport marked one
  bool intercom_ = false;
  std::atomic<bool> answeredAutomatically_{false};
  std::atomic<int32_t> refuseStatus_{487};
  std::mutex transferLock_;
  std::string transferTarget_;             // guarded by transferLock_
  std::shared_ptr<SipEngine> joinTarget_;  // guarded by transferLock_
  std::atomic<TransferOutcome> transferOutcome_{TransferOutcome::None};
  // Join: another engine asks this one's in-call loop to give up its dialog (into
  // handedOver_) and end without BYE, and waits for handOverDone_.
  std::atomic<bool> handOverRequest_{false};
  platform::Event handOverDone_{platform::Event::Reset::Manual};
  std::mutex handOverLock_;
  std::unique_ptr<SipCall> handedOver_;  // guarded by handOverLock_
  uint32_t bridgeQuietMs_ = 60000;
  std::string refuseHeaders_;  // written before the hang-up command, read after it
  IncomingCallFacts incoming_;

  mutable std::mutex remoteLock_;
  std::string remoteUser_;     // guarded by remoteLock_
  std::string remoteDisplay_;  // guarded by remoteLock_
  std::string remoteUri_;      // guarded by remoteLock_
  std::string targetUser_;     // guarded by remoteLock_
  std::unique_ptr<SipCall> call_;
  std::optional<SipMessage> invite_;  // the incoming INVITE being answered
  std::string earlySdp_;              // the far end's early SDP (call thread)
  std::atomic<bool> earlyMedia_{false};
  std::atomic<bool> earlyReported_{false};
  ReliableProvisional reliable_{std::random_device{}()};
  bool reliableRinging_ = false;  // the caller supports reliable provisional responses
  SessionTimer sessionTimer_;
  bool refreshFailed_ = false;  // our last refresh was refused: none until the end
  uint32_t sessionSeconds_ = kDefaultSessionSeconds;
  uint32_t minSessionSeconds_ = kDefaultMinSessionSeconds;
  uint32_t sessionAsked_ = kDefaultSessionSeconds;  // what our INVITE asks for
  bool offerPending_ = false;                       // an offer of ours waits for its answer

  // Media helpers of the line (GUI thread).
  audio::StreamPump pump_;
  audio::StreamRecorder streamRecorder_;
  std::atomic<bool> playing_{false};
  std::atomic<int32_t> recordingMode_{kNotRecording};
  uint32_t noActivityRefresh_ = 0;  // tick of the last refresh (starts in the future)
  uint32_t noActivityLimitMs_ = 0;
  uint32_t sendingRate_ = 8000;  // rate of the sink the pump writes into
  audio::SourceRef keptSource_;  // the source given to RecordCallFrom
  bool sourceKept_ = false;
};

}  // namespace quillet::sip
