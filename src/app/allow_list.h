// SPDX-License-Identifier: Apache-2.0
// Which callers an intercom call is let through for (everybody, or those whose address
// contains an item of the allow list), and the decision about an incoming call: answered
// by itself as an intercom call, rung as a phone call, or refused.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/settings_store.h"
#include "sip/sip_engine.h"

namespace quillet::app {

// Intercom/AllowAll (default yes) lets everybody through; otherwise the caller's address
// must contain an item of Intercom/Allow (case-sensitive). An empty list allows nobody;
// an empty item (two commas in a row) matches every address.
bool isCallerAllowed(base::SettingsStore& store, std::string_view address);
// The items of Intercom/Allow as stored, whatever the list's length, empty items kept.
std::vector<std::string> readAllowList(base::SettingsStore& store);
// Whether one of the items occurs in the address.
bool allowListHolds(const std::vector<std::string>& items, std::string_view address);
// Whether an item of Intercom/Allow occurs in the address, whatever AllowAll says.
bool isOnAllowList(base::SettingsStore& store, std::string_view address);
// Whether a non-empty item of Intercom/Allow holds the host (an address written there).
bool allowListNamesHost(base::SettingsStore& store, std::string_view host);

enum class IncomingDecision {
  Intercom,   // answered by itself (after delaySeconds), the caller heard at once
  PhoneCall,  // rings until the user answers
  Refuse,     // not on the allow list: refused (487)
  Forbid,     // refused with 403, the caller required an answer mode we do not honour
  Busy,       // do-not-disturb holds (480)
};

struct IncomingVerdict {
  IncomingDecision decision = IncomingDecision::Refuse;
  int32_t delaySeconds = 0;
  std::string identity;  // the address the allow list was matched against
  std::string reason;    // a short why for the log
};

// What the application knows of the call beyond the engine's facts.
struct IncomingContext {
  std::string callerAddress;    // the far end's address as the engine reports it
  bool doNotDisturb = false;    // the call came through do-not-disturb (Priv-Answer-Mode)
  bool lineRegistered = false;  // the line has a server
  bool sourceKnown = false;     // the INVITE came from an address of a contact or the allow list
};

// The settings weighed: Intercom/AllowAll and Allow, Intercom/AnswerAll (default yes:
// every allowed call answers by itself), Intercom/AllowDirect (default: on only without a
// server), Intercom/VerifiedIdentity (default no: the allow list sees the From).
IncomingVerdict decideIncoming(base::SettingsStore& store, const sip::IncomingCallFacts& facts,
                               const IncomingContext& context);

// The refusal's header for a required answer mode: "Answer-Mode: Manual" or
// "Priv-Answer-Mode: Manual", with CR LF.
std::string manualAnswerHeader(const sip::AutoAnswerRequest& request);

}  // namespace quillet::app
