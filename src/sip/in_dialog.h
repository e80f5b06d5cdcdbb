// SPDX-License-Identifier: Apache-2.0
// Requests inside an established dialog shared by the call thread and the call bridge: the
// generic answers, a final response held until its ACK, re-INVITE as a client with its
// cancel and the glare back-off after 491, UPDATE as a client, OPTIONS to the far end and
// the liveness probe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/event.h"
#include "sip/sip_call.h"
#include "sip/sip_dialog.h"
#include "sip/sip_message.h"
#include "sip/sip_templates.h"

namespace quillet::sip {

class SipTransport;

// Handles a request that reached the dialog while an exchange of its own waits. false: the
// dialog is over.
using RequestHandler = std::function<bool(const SipMessage&)>;

// One dialog as an exchange sees it: where messages go and come from, the stop event of the
// thread it runs on, and who answers requests that arrive meanwhile.
struct DialogSide {
  SipTransport& transport;
  SipCall& call;
  platform::Event& stop;
  RequestHandler onRequest;
};

inline constexpr uint32_t kReInviteResendMs = 500;
inline constexpr uint32_t kReInviteNoAnswerMs = 5000;
inline constexpr uint32_t kReInviteAfterProvisionalMs = 25000;
inline constexpr uint32_t kProbeSwitchMs = 3000;  // INFO, then OPTIONS
inline constexpr uint32_t kProbeDeadMs = 6000;
inline constexpr uint32_t kProbeWaitMs = 750;

// Status of an INVITE transaction of ours: the final response (acknowledged already when it
// is not a 2xx), or without a response 487 when the dialog ended meanwhile and 408 when
// nothing final came (a 2xx crossing the CANCEL is still returned).
struct InviteOutcome {
  int32_t status = 0;
  std::optional<SipMessage> response;
  DialogRequest invite;
  bool is2xx() const { return status >= 200 && status <= 299 && response.has_value(); }
  // The response's SDP ("" when none).
  std::string sdp() const;
};

// A response of `status` with its usual reason phrase and the dialog's tag.
ResponseSpec simpleResponse(int32_t status, std::string_view toTag = {});

// The generic answers to a request no running exchange handles: BYE 200 (the dialog is
// over), OPTIONS 200 with Contact and the capability offer, NOTIFY/CANCEL/INFO 200, INVITE
// and REFER 491, UPDATE 200 without an offer and 488 with one, PRACK 481, others 501. false: the
// dialog is over.
bool answerInDialog(SipTransport& transport, SipCall& call, const SipMessage& request,
                    const std::function<std::string()>& capabilityOffer);

// Sends a final response to `invite` until its ACK (kept in `ack`): 200 when it came, 487
// when the dialog ended meanwhile, 408 after 8000 ms or on stop.
int32_t holdFinalResponse(const DialogSide& side, const SipMessage& invite,
                          const ResponseSpec& form, std::optional<SipMessage>* ack);

// One re-INVITE as a client (with `sdp`, or without a body, and the `extraLines`),
// answering challenges.
InviteOutcome reInvite(const DialogSide& side, const std::optional<std::string>& sdp,
                       std::string_view extraLines = {});
// As reInvite, waiting the glare back-off and starting again after each 491. A back-off
// cut short (stop, dialog over) gives 487.
InviteOutcome reInviteWithGlare(const DialogSide& side, const std::optional<std::string>& sdp);
// Cancels a pending INVITE of ours: a final response that still comes is acknowledged and
// returned; 487 when the dialog ends, 408 when the wait runs out.
InviteOutcome cancelInvite(const DialogSide& side, const DialogRequest& invite, bool provisional);
// The ACK of a 2xx to our INVITE, with `sdp` as its body when not empty.
void acknowledge(const DialogSide& side, const InviteOutcome& outcome, std::string_view sdp = {});

// The glare back-off after a 491: base 550 ms when this side made the dialog, 50 otherwise,
// plus the tick modulo 250.
uint32_t glareBackOffMs(const SipCall& call, uint32_t tickMs);
// Waits the back-off, handing requests that arrive to the handler. false: stop, or the
// dialog is over.
bool waitGlareBackOff(const DialogSide& side);
// The wait before a re-INVITE refused with 491 is tried again (RFC 3261 section 14.1): from
// 2.1 to 4 s for the side that made the dialog, up to 2 s for the other, in 10 ms steps
// picked by `random`.
uint32_t requestPendingWaitMs(bool createdHere, uint32_t random);
// Waits `ms`, handing requests that arrive to the handler. false: stop, or the dialog is
// over.
bool waitAnswering(const DialogSide& side, uint32_t ms);

// One UPDATE as a client (no body; Contact and the `extraLines`), answering challenges: its
// final status and response; without a response 408 when none came in time (or on stop) and
// 487 when the dialog ended meanwhile.
struct UpdateOutcome {
  int32_t status = 0;
  std::optional<SipMessage> response;
  bool is2xx() const { return status >= 200 && status <= 299 && response.has_value(); }
};
UpdateOutcome sendUpdate(const DialogSide& side, std::string_view extraLines);

// OPTIONS to the far end within `limitMs`: its final status and reason and SDP; 408 on
// time-out or stop, 487 when the dialog ended.
struct OptionsOutcome {
  int32_t status = 0;
  std::string reason;
  std::string sdp;
};
OptionsOutcome askOptions(const DialogSide& side, uint32_t limitMs);

// Whether the far end still holds the dialog (INFO, then OPTIONS; no answer within 6000 ms,
// 481 or 487: gone). A peer with quirk bit 0 is not probed.
bool peerAlive(const DialogSide& side);

// Quirk bits of a peer: bit 0 (do not probe) for a "Gigaset" User-Agent, and for hosts of
// the providers whose servers do not answer probes inside a call.
uint32_t peerQuirks(const SipMessage& message, std::string_view remoteUri);

// A dialog made from a received INVITE (a new call, or one replacing another), with the
// given identity for its own requests.
std::unique_ptr<SipCall> callFromInvite(const SipMessage& invite, SipTransport& transport,
                                        std::string_view user, std::string_view authUser,
                                        std::string_view password);

}  // namespace quillet::sip
