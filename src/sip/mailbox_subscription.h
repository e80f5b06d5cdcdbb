// SPDX-License-Identifier: Apache-2.0
// MailboxList: the event subscriptions of the lines: their voicemail boxes (message-waiting,
// RFC 3842) and the contacts' dialogs (the lamps, RFC 4235), driven by the SIP transport
// thread like the registrations: SUBSCRIBE, refresh, digest authentication, resend while
// unanswered, and the NOTIFYs that report the state.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sip/dialog_info.h"
#include "sip/message_summary.h"
#include "sip/registration.h"

namespace quillet::sip {

struct MailboxConfig {
  RegistrationConfig line;  // the server, the way there and the identity it knows
  std::string mailbox;      // the SUBSCRIBE's request URI
  // The event package: "message-summary" (a voicemail box) or "dialog" (a contact's line).
  std::string event = "message-summary";
  bool sameAs(const MailboxConfig& other) const {
    return mailbox == other.mailbox && event == other.event && line.sameAs(other.line);
  }
};

// The box a line subscribes to: `setting` (a full URI, "user@host", or a user at the
// line's server), or the line's own address when it is empty.
std::string mailboxUri(const std::string& setting, const std::string& server,
                       const std::string& addressOfRecord);

struct MailboxSubscription {
  MailboxConfig config;
  std::string callId;
  std::string tag;
  std::string remoteTag;  // the notifier's, once it has answered or notified
  uint32_t cseq = 0;
  uint32_t dueMs = 0;        // when the next SUBSCRIBE goes
  uint32_t lastSendMs = 0;   // when the last one went
  uint32_t firstSendMs = 0;  // when the unanswered one first went
  bool unanswered = false;
  int32_t expires = 3600;
  std::string challenge;
  bool credentialsPresent = false;
  bool authorizationHeader = true;
  bool authorizationAttempted = false;
  bool refusedLogged = false;
  SipTarget lastTarget;
  std::optional<MessageSummary> summary;
  std::optional<LineState> lamp;
  int failures = 0;  // in a row, for a lamp's back-off
  int refCount = 1;
};

class MailboxList {
 public:
  static constexpr uint32_t kResendMs = 4000;
  static constexpr uint32_t kNoAnswerLimitMs = 32000;
  static constexpr uint32_t kRetryMs = 300000;          // after a failure or no answer
  static constexpr uint32_t kRefusedRetryMs = 3600000;  // after the server refused the event
  static constexpr int32_t kMaxExpirySeconds = 86400;
  // A lamp's subscription is tried again sooner: 5 s after the first failure, twice as
  // long after each further one (at most 320 s).
  static constexpr uint32_t kLampRetryMs = 5000;
  static constexpr int kLampMaxDoublings = 6;

  using SummaryHandler =
      std::function<void(const std::string& mailbox, const MessageSummary& summary)>;

  // A contact's line state as its NOTIFYs tell it (nothing: no longer known).
  using LampHandler = std::function<void(const std::string& uri, std::optional<LineState> state)>;

  explicit MailboxList(RegistrationHost& host) : host_(host) {}

  // Application thread. The same configuration again only counts another reference.
  void add(const MailboxConfig& config, std::string callId, std::string tag, uint32_t nowMs);
  // The last reference ends the subscription (expires 0) and forgets it.
  void remove(const MailboxConfig& config);
  void setSummaryHandler(SummaryHandler handler);
  void setLampHandler(LampHandler handler);

  // Transport thread.
  void drive(uint32_t nowMs);
  void adjustWait(uint32_t nowMs, int32_t& waitMs) const;
  // A response to one of our SUBSCRIBEs; false when none has its Call-ID.
  bool onResponse(const SipMessage& response, uint32_t nowMs);
  // A NOTIFY: the status to answer it with, 0 when it belongs to no subscription.
  int32_t onNotify(const SipMessage& notify, uint32_t nowMs);
  // Ends every subscription that the server holds (at shut-down).
  void unsubscribeAll();

  std::vector<MailboxSubscription> snapshot() const;

 private:
  void send(MailboxSubscription& s, int32_t expires);
  void failed(MailboxSubscription& s, const std::string& why, uint32_t retryMs, uint32_t nowMs);
  // Read a NOTIFY's body: the handler's call when the state changed, else nothing.
  std::function<void()> takeSummary(MailboxSubscription& s, const SipMessage& notify);
  std::function<void()> takeLamp(MailboxSubscription& s, const SipMessage& notify);
  void takeState(MailboxSubscription& s, const std::string& state, uint32_t nowMs);

  RegistrationHost& host_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<MailboxSubscription>> list_;
  SummaryHandler handler_;
  LampHandler lampHandler_;
};

}  // namespace quillet::sip
