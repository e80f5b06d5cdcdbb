// SPDX-License-Identifier: Apache-2.0
// The intercom allow-list check and the incoming-call decision.
#include "app/allow_list.h"

#include <string>

#include "contacts/item_splitter.h"

namespace quillet::app {

using sip::AnswerMode;

std::vector<std::string> readAllowList(base::SettingsStore& store) {
  // Read raw: a list may be longer than a setting's usual text.
  std::string allow;
  if (!store.readRaw("Intercom", "Allow", allow)) return {};
  return contacts::splitItems(allow);
}

bool isOnAllowList(base::SettingsStore& store, std::string_view address) {
  return allowListHolds(readAllowList(store), address);
}

bool allowListHolds(const std::vector<std::string>& items, std::string_view address) {
  for (const std::string& item : items) {
    if (address.find(item) != std::string_view::npos) {
      return true;
    }
  }
  return false;
}

bool isCallerAllowed(base::SettingsStore& store, std::string_view address) {
  return store.readBool("Intercom", "AllowAll", true) || isOnAllowList(store, address);
}

bool allowListNamesHost(base::SettingsStore& store, std::string_view host) {
  if (host.empty()) {
    return false;
  }
  for (const std::string& item : readAllowList(store)) {
    if (item.find(host) != std::string::npos) {
      return true;
    }
  }
  return false;
}

std::string manualAnswerHeader(const sip::AutoAnswerRequest& request) {
  const bool priv = request.privMode == AnswerMode::Auto && request.privRequired &&
                    !(request.mode == AnswerMode::Auto && request.required);
  return priv ? "Priv-Answer-Mode: Manual\r\n" : "Answer-Mode: Manual\r\n";
}

namespace {

IncomingVerdict verdict(IncomingDecision decision, std::string identity, std::string reason) {
  IncomingVerdict result;
  result.decision = decision;
  result.identity = std::move(identity);
  result.reason = std::move(reason);
  return result;
}

// The identity the allow list is matched against. With VerifiedIdentity only what the
// line's proxy vouches for counts: its P-Asserted-Identity, else the From of a call that
// came through it; a call from anywhere else has no identity.
std::string identityOf(base::SettingsStore& store, const sip::IncomingCallFacts& facts,
                       const IncomingContext& context) {
  if (!store.readBool("Intercom", "VerifiedIdentity", false)) {
    return context.callerAddress;
  }
  if (!facts.viaProxy) {
    return {};
  }
  return facts.assertedIdentity.empty() ? context.callerAddress : facts.assertedIdentity;
}

}  // namespace

IncomingVerdict decideIncoming(base::SettingsStore& store, const sip::IncomingCallFacts& facts,
                               const IncomingContext& context) {
  const sip::AutoAnswerRequest& request = facts.autoAnswer;
  const std::string identity = identityOf(store, facts, context);
  if (identity.empty()) {
    return verdict(request.requiresAuto() ? IncomingDecision::Forbid : IncomingDecision::Refuse,
                   identity, "no identity vouched for by the line's server");
  }
  if (context.doNotDisturb) {
    // Priv-Answer-Mode passes do-not-disturb only for a caller named on the allow list.
    if (!isOnAllowList(store, identity)) {
      return verdict(request.requiresAuto() ? IncomingDecision::Forbid : IncomingDecision::Busy,
                     identity, "do-not-disturb, not on the allow list");
    }
    IncomingVerdict result = verdict(IncomingDecision::Intercom, identity, "Priv-Answer-Mode");
    result.delaySeconds = request.delaySeconds;
    return result;
  }
  if (!isCallerAllowed(store, identity)) {
    return verdict(request.requiresAuto() ? IncomingDecision::Forbid : IncomingDecision::Refuse,
                   identity, "not on the allow list");
  }
  const bool direct = context.lineRegistered && !facts.viaProxy && !context.sourceKnown;
  if (direct && !store.readBool("Intercom", "AllowDirect", !context.lineRegistered)) {
    return verdict(request.requiresAuto() ? IncomingDecision::Forbid : IncomingDecision::PhoneCall,
                   identity, "not through the line's server");
  }
  if (request.mode == AnswerMode::Manual) {
    return verdict(IncomingDecision::PhoneCall, identity, "the caller asked to ring");
  }
  if (request.wantsAuto() || store.readBool("Intercom", "AnswerAll", true)) {
    IncomingVerdict result = verdict(IncomingDecision::Intercom, identity,
                                     request.wantsAuto() ? "auto-answer asked" : "AnswerAll");
    result.delaySeconds = request.delaySeconds;
    return result;
  }
  return verdict(IncomingDecision::PhoneCall, identity, "no auto-answer asked");
}

}  // namespace quillet::app
