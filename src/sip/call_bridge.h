// SPDX-License-Identifier: Apache-2.0
// CallBridge: keeps two remote parties that this side connected to each other by re-INVITE
// talking: it relays their re-INVITEs and OPTIONS, refuses REFER, answers the rest, probes
// both when they fall quiet, and ends both dialogs when either ends.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "base/worker_thread.h"
#include "sip/in_dialog.h"
#include "sip/sip_call.h"

namespace quillet::sip {

class SipTransport;

class CallBridge : public base::OneShotWorker {
 public:
  static constexpr uint32_t kQuietProbeMs = 60000;
  static constexpr uint32_t kOptionsLimitMs = 3000;

  // Both dialogs are established and registered with the transport. `capabilityOffer` is
  // the body of this side's answers to OPTIONS it is asked itself.
  CallBridge(SipTransport& transport, std::unique_ptr<SipCall> first,
             std::unique_ptr<SipCall> second, std::string capabilityOffer,
             uint32_t quietProbeMs = kQuietProbeMs);
  ~CallBridge() override;

  // Starts a bridge on the process-wide list of detached workers; it deletes itself when
  // it ends. False when it could not start (both dialogs have then gone to the reaper).
  static bool launch(std::unique_ptr<CallBridge> bridge);

 protected:
  void Run() override;

 private:
  DialogSide side(size_t index);
  // Relays one request of side `from`. false: the bridge ends.
  bool relay(size_t from, const SipMessage& request);
  bool relayInvite(size_t from, const SipMessage& invite);
  void relayOptions(size_t from, const SipMessage& options);
  void endBoth();

  SipTransport& transport_;
  std::array<std::unique_ptr<SipCall>, 2> calls_;
  std::string capabilityOffer_;
  uint32_t quietProbeMs_;
};

}  // namespace quillet::sip
