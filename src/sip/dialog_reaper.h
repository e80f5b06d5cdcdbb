// SPDX-License-Identifier: Apache-2.0
// DialogReaper: finishes ended dialogs in the background: cancels INVITEs still being
// placed, acknowledges late final responses, sends BYE until answered, and keeps each
// dialog for 300 s so that late retransmissions are still answered.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/worker_thread.h"
#include "platform/event.h"
#include "sip/sip_call.h"
#include "sip/sip_dialog.h"

namespace quillet::sip {

class SipTransport;

// The line identity a dialog made by another fork's 2xx is ended with.
struct ForkIdentity {
  std::string user;
  std::string authUser;
  std::string password;
};

class DialogReaper : public base::WorkerThread {
 public:
  // CANCEL and BYE are non-INVITE requests: resent after T1, doubling up to T2 (timer E),
  // given up after 64·T1 (timer F).
  static constexpr uint32_t kResendStartMs = 500;
  static constexpr uint32_t kResendMostMs = 4000;
  static constexpr uint32_t kCancelForMs = 32000;
  static constexpr uint32_t kByeForMs = 32000;
  static constexpr uint32_t kRecordLifeMs = 300000;

  explicit DialogReaper(SipTransport& transport);
  ~DialogReaper() override;

  // A plain ending: an established dialog gets a BYE at once.
  void handOver(std::unique_ptr<SipCall> call);
  // A cancel: the INVITE is cancelled at once when a provisional was received, otherwise
  // as soon as the first provisional arrives.
  void handOverCancel(std::unique_ptr<SipCall> call, const DialogRequest& invite,
                      bool provisionalReceived);

  // A 2xx to our INVITE from another fork than the one the call went on with (another To
  // tag): that dialog is acknowledged at once and ended with a BYE (transport thread).
  void endOtherFork(const SipMessage& response, const ForkIdentity& identity);

  // Set while no CANCEL or BYE waits to be resent.
  platform::Event& idleEvent() { return idle_; }
  size_t recordCount() const;

 protected:
  void Run() override;

 private:
  struct Record {
    std::unique_ptr<SipCall> call;
    uint32_t handedMs = 0;
    bool cancelling = false;  // a CANCEL is (to be) sent
    bool cancelSent = false;
    DialogRequest invite;
    DialogRequest cancel;
    uint32_t cancelNextMs = 0;
    uint32_t cancelIntervalMs = kResendStartMs;
    bool byeActive = false;
    DialogRequest bye;
    uint32_t byeNextMs = 0;
    uint32_t byeIntervalMs = kResendStartMs;
  };
  void startBye(Record& record, uint32_t nowMs);
  void sendCancel(Record& record, uint32_t nowMs);
  void serviceMessages(Record& record, uint32_t nowMs);
  // Resends and expiry; answers the ms until the next resend (or a large value).
  int32_t serviceTimers(Record& record, uint32_t nowMs, bool& pending);

  SipTransport& transport_;
  mutable std::mutex lock_;
  std::vector<std::unique_ptr<Record>> records_;
  platform::Event changed_{platform::Event::Reset::Auto};
  platform::Event idle_{platform::Event::Reset::Manual, true};
};

}  // namespace quillet::sip
