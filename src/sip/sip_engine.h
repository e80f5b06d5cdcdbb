// SipEngine: the per-line user agent the application talks to. It holds at most one call
// at a time and runs it on a thread of its own: the incoming-call decision, ringing,
// answering, placing calls (with redirects, authentication and time limits), the in-call
// loop; ended dialogs go to the DialogReaper. Events reach the application through
// EngineEvents on the GUI thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/notify_window.h"
#include "base/worker_thread.h"
#include "platform/event.h"
#include "sip/call_media.h"
#include "sip/engine_events.h"
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
};

enum class IncomingResult { Started, Busy };

class SipEngine : public LineInterface, public base::WorkerThread, public base::NotifyWindow {
 public:
  static constexpr uint32_t kRingRepeatMs = 2000;
  static constexpr uint32_t kInviteResendMs = 500;
  static constexpr uint32_t kNoAnswerLimitMs = 10000;
  static constexpr uint32_t kAfterProvisionalLimitMs = 65000;
  static constexpr uint32_t kRedirectNoAnswerLimitMs = 2000;
  static constexpr uint32_t kRedirectAfterProvisionalLimitMs = 10000;
  static constexpr uint32_t kFinalResendMs = 350;
  static constexpr uint32_t kFinalGiveUpMs = 8000;

  // Adds the engine to the transport and the line's registration. Without `media` the
  // engine makes an RTP session on the process-wide settings (traced into the transport's
  // trace).
  SipEngine(SipTransport& transport, const LineIdentity& line,
            std::unique_ptr<CallMedia> media = nullptr);
  ~SipEngine() override;
  SipEngine(const SipEngine&) = delete;
  SipEngine& operator=(const SipEngine&) = delete;

  // Replaces the events (the engine owns them); null restores the defaults.
  void setEngineEvents(std::unique_ptr<EngineEvents> events);
  EngineEvents& events() { return *events_; }

  // Line interface.
  int IsInCall() override { return callState_ != kCallIdle; }
  int Answer() override;
  int Dial(std::string_view target) override;
  int LineKind() override { return 2; }
  void SendDtmf(std::string_view digits) override;
  void Transfer(std::string_view target) override;
  void HangUp() override;
  void StopMedia() override;
  // A new sending stream of the call: what is written into it goes to the far end.
  audio::SinkRef SendingStream();
  // A new receiving stream of the call: the far end's audio, 8000 Hz mono.
  audio::SourceRef ReceivingStream();
  // An intercom call: the INVITE asks the far end to answer by itself.
  int DialIntercom(std::string_view target);

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
  int32_t ringCount() const { return ringCount_; }
  const std::string& remoteUser() const { return remoteUser_; }
  const std::string& remoteDisplayName() const { return remoteDisplay_; }
  // Who the call was for: the "target" user of an incoming call, the line user otherwise.
  const std::string& targetUser() const { return targetUser_; }
  const std::string& localNameAddr() const { return localNameAddr_; }

 protected:
  void Run() override;  // the call thread

 private:
  enum class Placed { Success, Failed, FailedWithCancel };
  struct Candidate {
    std::string uri;
    double q = 0.5;
  };

  bool startCall(int32_t state, std::unique_ptr<SipCall> call, std::optional<SipMessage> invite,
                 std::string targetUser = {});
  int dialTarget(std::string_view target, bool intercom);
  void postNotify();
  void setState(int32_t state);
  bool stopOrHangUp();

  // Call thread pieces.
  bool ringingLoop();
  bool acceptInvite(const SipMessage& invite, SipCall& call);
  int finalResponse(const SipMessage& invite, SipCall& call, const ResponseSpec& spec,
                    std::optional<SipMessage>* ack);
  bool placeInvite(bool intercom);
  void inCallLoop();
  // false: the dialog is over.
  bool inDialogRequest(SipCall& call, const SipMessage& request);
  bool inCallRequest(const SipMessage& request);
  std::unique_ptr<SipCall> makeOutgoingCall(std::string_view remoteNameAddr);
  std::string contactFor(const SipMessage& request) const;

  SipTransport& transport_;
  LineIdentity line_;
  std::string localNameAddr_;
  std::string addressOfRecord_;
  std::unique_ptr<CallMedia> media_;
  std::unique_ptr<EngineEvents> events_;

  std::mutex engineLock_;  // starting a call
  std::atomic<int32_t> callState_{kCallIdle};
  std::atomic<int32_t> reportedState_{kCallIdle};
  std::atomic<int32_t> ringCount_{0};
  std::atomic<int32_t> ringsReported_{0};
  std::atomic<int32_t> command_{kCommandNone};
  std::atomic<bool> dtmfPending_{false};
  std::atomic<bool> dtmfDone_{false};
  platform::Event commandEvent_{platform::Event::Reset::Manual};
  bool intercom_ = false;

  std::string remoteUser_;
  std::string remoteDisplay_;
  std::string targetUser_;
  std::unique_ptr<SipCall> call_;
  std::optional<SipMessage> invite_;  // the incoming INVITE being answered
};

}  // namespace quillet::sip
