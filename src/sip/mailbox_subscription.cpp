// SPDX-License-Identifier: Apache-2.0
// MailboxList: subscribing to the voicemail boxes and reading their NOTIFYs.
#include "sip/mailbox_subscription.h"

#include <algorithm>

#include "sip/digest.h"
#include "sip/sip_log.h"
#include "sip/sip_templates.h"
#include "sip/sip_uri.h"

namespace quillet::sip {

namespace {

constexpr int32_t kLeastExpirySeconds = 60;
constexpr uint32_t kResubscribeMs = 5000;  // after the notifier ended a subscription

bool due(uint32_t when, uint32_t nowMs) {
  return static_cast<int32_t>(nowMs - when) >= 0;
}

std::string summaryText(const MessageSummary& summary) {
  if (!summary.waiting) return "no new messages";
  if (summary.newVoice < 0) return "new messages are waiting";
  std::string text =
      std::to_string(summary.newVoice) + (summary.newVoice == 1 ? " new message" : " new messages");
  if (summary.oldVoice > 0) text += " (" + std::to_string(summary.oldVoice) + " old)";
  return text;
}

// The value of parameter `name` in a Subscription-State value ("terminated;reason=timeout").
std::string stateParameter(std::string_view state, std::string_view name) {
  size_t at = state.find(';');
  while (at != std::string_view::npos) {
    std::string_view rest = state.substr(at + 1);
    const size_t end = rest.find(';');
    const std::string_view param = trimmed(rest.substr(0, end));
    const size_t equals = param.find('=');
    if (equals != std::string_view::npos && equalsNoCase(trimmed(param.substr(0, equals)), name))
      return std::string(trimmed(param.substr(equals + 1)));
    at = end == std::string_view::npos ? end : at + 1 + end;
  }
  return {};
}

bool isDialog(const MailboxSubscription& s) {
  return s.config.event == "dialog";
}

// The log lines' first word.
std::string label(const MailboxSubscription& s) {
  return isDialog(s) ? "Lamps: " : "Voicemail: ";
}

}  // namespace

std::string mailboxUri(const std::string& setting, const std::string& server,
                       const std::string& addressOfRecord) {
  if (setting.empty()) return addressOfRecord;
  if (equalsNoCase(setting.substr(0, 4), "sip:") || equalsNoCase(setting.substr(0, 5), "sips:"))
    return setting;
  if (setting.find('@') != std::string::npos) return "sip:" + setting;
  return "sip:" + setting + "@" + server;
}

void MailboxList::add(const MailboxConfig& config, std::string callId, std::string tag,
                      uint32_t nowMs) {
  std::lock_guard lock(mutex_);
  for (auto& s : list_) {
    if (s->config.sameAs(config)) {
      ++s->refCount;
      return;
    }
  }
  auto s = std::make_unique<MailboxSubscription>();
  s->config = config;
  s->callId = std::move(callId);
  s->tag = std::move(tag);
  s->dueMs = nowMs;
  list_.push_back(std::move(s));
}

void MailboxList::remove(const MailboxConfig& config) {
  std::lock_guard lock(mutex_);
  for (auto it = list_.begin(); it != list_.end(); ++it) {
    MailboxSubscription& s = **it;
    if (!s.config.sameAs(config)) continue;
    if (--s.refCount > 0) return;
    if (!s.remoteTag.empty()) send(s, 0);
    list_.erase(it);
    return;
  }
}

void MailboxList::setSummaryHandler(SummaryHandler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

void MailboxList::setLampHandler(LampHandler handler) {
  std::lock_guard lock(mutex_);
  lampHandler_ = std::move(handler);
}

void MailboxList::send(MailboxSubscription& s, int32_t expires) {
  const RegistrationConfig& line = s.config.line;
  SipTarget to;
  if (!host_.regResolve(line, to)) return;  // the host logged why
  s.lastTarget = to;
  const std::string address = host_.regContactAddress(to);
  const std::string branch = host_.regNewBranch();
  SubscribeSpec form;
  if (isDialog(s)) {
    form.event = "dialog";
    form.accept = kDialogInfoType;
  }
  form.mailbox = s.config.mailbox;
  form.remoteTag = s.remoteTag;
  form.viaAddress = address;
  form.viaPort = to.transport == TransportKind::Udp && !to.address.isIpv6()
                     ? host_.regPublicPort()
                     : host_.regLocalPort(to.transport);
  form.transport = to.transport;
  form.branch = branch;
  // A line without a server names the address the notifier reaches it at.
  std::string from = line.addressOfRecord;
  if (!from.empty() && from.back() == '@') from += address + ":" + std::to_string(form.viaPort);
  form.addressOfRecord = from;
  form.tag = s.tag;
  form.callId = s.callId;
  form.cseq = ++s.cseq;
  form.contactUser = line.user;
  form.expires = expires;
  std::string credentials;
  if (s.credentialsPresent) {
    credentials =
        computeDigest(s.challenge, "SUBSCRIBE", s.config.mailbox, line.authUser, line.password)
            .credentials;
    form.credentials = credentials;
    form.authorizationHeader = s.authorizationHeader;
  }
  host_.regSend(to, buildSubscribe(form));
}

void MailboxList::drive(uint32_t nowMs) {
  std::lock_guard lock(mutex_);
  for (auto& p : list_) {
    MailboxSubscription& s = *p;
    if (s.unanswered) {
      if (nowMs - s.firstSendMs >= kNoAnswerLimitMs) {
        s.unanswered = false;
        failed(s, "no answer", kRetryMs, nowMs);
      } else if (nowMs - s.lastSendMs >= kResendMs) {
        s.lastSendMs = nowMs;
        send(s, s.expires);
      }
      continue;
    }
    if (!due(s.dueMs, nowMs)) continue;
    s.unanswered = true;
    s.authorizationAttempted = false;
    s.firstSendMs = s.lastSendMs = nowMs;
    send(s, s.expires);
  }
}

void MailboxList::adjustWait(uint32_t nowMs, int32_t& waitMs) const {
  std::lock_guard lock(mutex_);
  for (const auto& s : list_) {
    const uint32_t next = s->unanswered ? s->lastSendMs + kResendMs : s->dueMs;
    waitMs = std::min(waitMs, std::max(0, static_cast<int32_t>(next - nowMs)));
  }
}

void MailboxList::failed(MailboxSubscription& s, const std::string& why, uint32_t retryMs,
                         uint32_t nowMs) {
  // Logged once until it works: a server without voicemail refuses every hour.
  if (!s.refusedLogged) {
    sipLogInfo(label(s) + "the subscription to " + s.config.mailbox + " failed (" + why +
               "); trying again later");
    s.refusedLogged = true;
  }
  if (s.lamp && lampHandler_) lampHandler_(s.config.mailbox, std::nullopt);
  s.lamp.reset();
  if (isDialog(s)) {
    retryMs = kLampRetryMs << std::min(s.failures, kLampMaxDoublings);
    ++s.failures;
  }
  s.remoteTag.clear();
  s.dueMs = nowMs + retryMs;
}

bool MailboxList::onResponse(const SipMessage& response, uint32_t nowMs) {
  std::lock_guard lock(mutex_);
  const std::string callId = response.header(hdr::kCallId);
  auto found =
      std::find_if(list_.begin(), list_.end(), [&](const auto& s) { return s->callId == callId; });
  if (found == list_.end()) return false;
  MailboxSubscription& s = **found;
  const int32_t status = response.status;
  if (status < 200 || !s.unanswered) return true;  // provisional, or a late repeat
  s.unanswered = false;
  if (status <= 299) {
    if (s.remoteTag.empty())
      s.remoteTag = paramValue(parseNameAddr(response.header(hdr::kTo)).params, "tag");
    const int32_t asked = decimalValue(response.header(hdr::kExpires, "0"));
    const int32_t expiry = std::clamp(asked > 0 ? std::min(asked, s.expires) : s.expires,
                                      kLeastExpirySeconds, kMaxExpirySeconds);
    // Refreshed well before it runs out: a minute early, or at half time for short ones.
    const int32_t refresh =
        expiry > 2 * kLeastExpirySeconds ? expiry - kLeastExpirySeconds : expiry / 2;
    s.dueMs = nowMs + static_cast<uint32_t>(refresh) * 1000u;
    if (s.refusedLogged || s.cseq <= 2) sipLogInfo(label(s) + "subscribed to " + s.config.mailbox);
    s.refusedLogged = false;
    s.failures = 0;
    return true;
  }
  const std::string statusLine = std::to_string(status) + " " + response.reason;
  if ((status == 401 || status == 407) && !s.config.line.password.empty()) {
    const std::string challenge = challengeOf(response);
    if (answerable(challenge) && (!s.authorizationAttempted || staleChallenge(challenge))) {
      s.challenge = challenge;
      s.credentialsPresent = true;
      s.authorizationHeader = status == 401;
      s.authorizationAttempted = true;
      s.unanswered = true;
      s.firstSendMs = s.lastSendMs = nowMs;
      send(s, s.expires);
      return true;
    }
  }
  if (status == 423) {
    const int32_t least = decimalValue(response.header(hdr::kMinExpires));
    if (least > s.expires && least <= kMaxExpirySeconds) {
      s.expires = least;
      s.unanswered = true;
      s.firstSendMs = s.lastSendMs = nowMs;
      send(s, s.expires);
      return true;
    }
  }
  if (status == 481 && !s.remoteTag.empty()) {
    // The notifier forgot the subscription: a new one at once.
    s.remoteTag.clear();
    s.dueMs = nowMs;
    return true;
  }
  // 489 Bad Event, 404, 403, 405, 501: this server has no voicemail to report.
  const bool refused =
      status == 489 || status == 403 || status == 404 || status == 405 || status == 501;
  failed(s, statusLine, refused ? kRefusedRetryMs : kRetryMs, nowMs);
  return true;
}

int32_t MailboxList::onNotify(const SipMessage& notify, uint32_t nowMs) {
  std::function<void()> tell;  // the handler's call, made outside the lock
  {
    std::lock_guard lock(mutex_);
    const std::string callId = notify.header(hdr::kCallId);
    const std::string toTag = paramValue(parseNameAddr(notify.header(hdr::kTo)).params, "tag");
    auto found = std::find_if(list_.begin(), list_.end(), [&](const auto& s) {
      return s->callId == callId && s->tag == toTag;
    });
    if (found == list_.end()) return 0;
    MailboxSubscription& s = **found;
    const std::string event = notify.header(hdr::kEvent);
    if (!equalsNoCase(trimmed(std::string_view(event).substr(0, event.find(';'))), s.config.event))
      return 489;
    if (s.remoteTag.empty())
      s.remoteTag = paramValue(parseNameAddr(notify.header(hdr::kFrom)).params, "tag");
    takeState(s, notify.header("Subscription-State"), nowMs);
    tell = isDialog(s) ? takeLamp(s, notify) : takeSummary(s, notify);
  }
  if (tell) tell();
  return 200;
}

std::function<void()> MailboxList::takeSummary(MailboxSubscription& s, const SipMessage& notify) {
  const std::optional<MessageSummary> read =
      parseMessageSummary(notify.body("application/simple-message-summary"));
  if (!read) {
    if (notify.hasBody("application/simple-message-summary"))
      sipLogError("Voicemail: a NOTIFY from " + s.config.mailbox +
                  " has a summary that cannot be read; ignored");
    return {};
  }
  if (s.summary == read) return {};
  s.summary = read;
  sipLogInfo("Voicemail: " + summaryText(*read));
  if (!handler_) return {};
  return [handler = handler_, mailbox = s.config.mailbox, summary = *read] {
    handler(mailbox, summary);
  };
}

std::function<void()> MailboxList::takeLamp(MailboxSubscription& s, const SipMessage& notify) {
  if (!notify.hasBody(kDialogInfoType)) return {};  // the first NOTIFY may have none
  const std::optional<DialogInfo> info = parseDialogInfo(notify.body(kDialogInfoType));
  if (!info) {
    sipLogError("Lamps: a NOTIFY from " + s.config.mailbox +
                " has a dialog-info body that cannot be read; ignored");
    return {};
  }
  if (!info->full) return {};  // only full documents are asked for
  const LineState now = lineStateOf(*info);
  if (s.lamp == now) return {};
  s.lamp = now;
  if (!lampHandler_) return {};
  return [handler = lampHandler_, uri = s.config.mailbox, now] { handler(uri, now); };
}

void MailboxList::takeState(MailboxSubscription& s, const std::string& state, uint32_t nowMs) {
  const std::string_view value = trimmed(state);
  if (!equalsNoCase(value.substr(0, 10), "terminated")) return;
  // Ended by the notifier: subscribed again soon, unless it will not have us.
  const std::string reason = stateParameter(value, "reason");
  s.remoteTag.clear();
  s.unanswered = false;
  if (equalsNoCase(reason, "rejected") || equalsNoCase(reason, "noresource")) {
    failed(s, "ended by the server: " + reason, kRefusedRetryMs, nowMs);
  } else {
    s.dueMs = nowMs + kResubscribeMs;
  }
}

void MailboxList::unsubscribeAll() {
  std::lock_guard lock(mutex_);
  for (auto& s : list_) {
    if (s->remoteTag.empty()) continue;
    s->unanswered = false;
    send(*s, 0);
  }
}

std::vector<MailboxSubscription> MailboxList::snapshot() const {
  std::lock_guard lock(mutex_);
  std::vector<MailboxSubscription> out;
  for (const auto& s : list_) out.push_back(*s);
  return out;
}

}  // namespace quillet::sip
