// SPDX-License-Identifier: Apache-2.0
// DialogNotifier: answering dialog-event SUBSCRIBEs and sending the NOTIFYs.
#include "sip/dialog_notifier.h"

#include <algorithm>

#include "sip/sip_log.h"
#include "sip/sip_templates.h"
#include "sip/sip_uri.h"

namespace quillet::sip {

namespace {

constexpr size_t kMaxSources = 256;
constexpr uint32_t kRefusalLogMs = 10000;

bool due(uint32_t when, uint32_t nowMs) {
  return static_cast<int32_t>(nowMs - when) >= 0;
}

// The host part of "HOST:PORT" or "[V6]:PORT".
std::string hostOf(const std::string& address) {
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos || address.find(']', colon) != std::string::npos) return address;
  return address.substr(0, colon);
}

std::string eventPackage(const SipMessage& request) {
  const std::string event = request.header(hdr::kEvent);
  return std::string(trimmed(std::string_view(event).substr(0, event.find(';'))));
}

}  // namespace

void DialogNotifier::setAllowCheck(AllowCheck check) {
  std::lock_guard lock(mutex_);
  allowed_ = std::move(check);
}

size_t DialogNotifier::watcherCount() const {
  std::lock_guard lock(mutex_);
  return watchers_.size();
}

void DialogNotifier::logRefusal(const std::string& text, uint32_t nowMs) {
  // A flood gets a line now and then with the count of those not logged.
  if (refusalLogged_ && nowMs - lastRefusalLogMs_ < kRefusalLogMs) {
    ++refusalsUnlogged_;
    return;
  }
  std::string line = "Lamps: " + text;
  if (refusalsUnlogged_ > 0)
    line += " (" + std::to_string(refusalsUnlogged_) + " more refused since the last report)";
  sipLogInfo(line);
  refusalLogged_ = true;
  refusalsUnlogged_ = 0;
  lastRefusalLogMs_ = nowMs;
}

bool DialogNotifier::rateLimited(const std::string& source, uint32_t nowMs) {
  std::erase_if(sources_,
                [&](const SourceCount& s) { return nowMs - s.windowStartMs >= kRateWindowMs; });
  auto found = std::find_if(sources_.begin(), sources_.end(),
                            [&](const SourceCount& s) { return s.source == source; });
  if (found == sources_.end()) {
    if (sources_.size() >= kMaxSources) return true;  // too many senders at once
    sources_.push_back({source, nowMs, 1});
    return false;
  }
  return ++found->count > kRateLimit;
}

void DialogNotifier::onSubscribe(const SipMessage& request, std::string newTag, uint32_t nowMs,
                                 const Responder& respond) {
  std::lock_guard lock(mutex_);
  const SubscribeAnswer answer = decide(request, std::move(newTag), nowMs);
  respond(answer);
  if (answer.status != 200) return;
  auto found = std::find_if(watchers_.begin(), watchers_.end(),
                            [&](const Watcher& w) { return w.localTag == answer.toTag; });
  if (found == watchers_.end()) return;
  if (answer.expires == 0) {
    notify(*found, "terminated;reason=timeout", nowMs);
    watchers_.erase(found);
  } else {
    notify(*found, "active;expires=" + std::to_string(answer.expires), nowMs);
  }
}

SubscribeAnswer DialogNotifier::decide(const SipMessage& request, std::string newTag,
                                       uint32_t nowMs) {
  SubscribeAnswer answer;
  const std::string from = request.header(hdr::kFrom);
  const std::string source = hostOf(request.source.toString());
  if (rateLimited(source, nowMs)) {
    answer.status = 503;
    answer.extraHeaders = "Retry-After: 10\r\n";
    logRefusal("too many SUBSCRIBEs from " + source + "; refused with 503", nowMs);
    return answer;
  }
  if (!equalsNoCase(eventPackage(request), "dialog")) {
    answer.status = 489;
    answer.extraHeaders = "Allow-Events: dialog\r\n";
    return answer;
  }
  if (!allowed_ || !allowed_(from)) {
    answer.status = 403;
    logRefusal("a watcher not on the allow list was refused: " + from, nowMs);
    return answer;
  }
  const std::string callId = request.header(hdr::kCallId);
  const NameAddr to = parseNameAddr(request.header(hdr::kTo));
  const std::string toTag = paramValue(to.params, "tag");
  auto found = std::find_if(watchers_.begin(), watchers_.end(),
                            [&](const Watcher& w) { return w.callId == callId; });
  if (!toTag.empty() && (found == watchers_.end() || found->localTag != toTag)) {
    answer.status = 481;
    return answer;
  }
  const std::string asked = request.header(hdr::kExpires);
  int32_t expires = asked.empty() ? kDefaultExpires : decimalValue(asked);
  if (expires < 0) expires = kDefaultExpires;
  if (expires > 0 && expires < kMinExpires) {
    answer.status = 423;
    answer.extraHeaders = "Min-Expires: " + std::to_string(kMinExpires) + "\r\n";
    return answer;
  }
  expires = std::min(expires, kDefaultExpires);
  if (found == watchers_.end()) {
    if (watchers_.size() >= kMaxWatchers) {
      answer.status = 503;
      answer.extraHeaders = "Retry-After: 300\r\n";
      logRefusal("already " + std::to_string(kMaxWatchers) + " watchers; refused " + from, nowMs);
      return answer;
    }
    const NameAddr watcher = parseNameAddr(from);
    Watcher w;
    w.callId = callId;
    w.localTag = std::move(newTag);
    w.remoteTag = paramValue(watcher.params, "tag");
    w.watcherUri = watcher.uri;
    w.entity = stripParameters(to.uri);
    const std::string contact = request.header(hdr::kContact);
    w.remoteUri = contact.empty() ? watcher.uri : parseNameAddr(contact).uri;
    watchers_.push_back(std::move(w));
    found = watchers_.end() - 1;
    sipLogInfo("Lamps: " + found->watcherUri + " watches this line");
  }
  Watcher& w = *found;
  w.target = request.replyTarget();
  w.expiresAtMs = nowMs + static_cast<uint32_t>(expires) * 1000u;
  answer.status = 200;
  answer.expires = expires;
  answer.toTag = w.localTag;
  return answer;
}

void DialogNotifier::notify(Watcher& w, std::string_view state, uint32_t nowMs) {
  std::string address;
  uint16_t port = 0;
  host_.ntfLocal(w.target, address, port);
  const std::string body = writeDialogInfo({w.version++, true, w.entity, dialogs_});
  SipRequest request;
  request.method = "NOTIFY";
  request.cseq = ++w.cseq;
  request.branch = host_.ntfNewBranch();
  request.requestUri = w.remoteUri;
  request.destination = w.target;
  const std::string toValue = "<" + w.watcherUri + ">;tag=" + w.remoteTag;
  const std::string fromValue = "<" + w.entity + ">;tag=" + w.localTag;
  RequestContext context;
  context.localAddress = address;
  context.localPort = port;
  context.transport = w.target.transport;
  context.to = toValue;
  context.from = fromValue;
  context.callId = w.callId;
  const std::string contactUser = parseUri(w.entity).user;  // the context only points at it
  context.contactUser = contactUser;
  const std::string extra = "Event: dialog\r\nSubscription-State: " + std::string(state) + "\r\n";
  w.lastBody = body;
  w.unansweredBranch = request.branch;
  w.unansweredText = buildRequest(request, context, true, extra, kDialogInfoType, body);
  w.lastSendMs = nowMs;
  w.resends = 0;
  host_.ntfSend(w.target, w.unansweredText);
}

void DialogNotifier::setDialogs(std::vector<DialogEntry> dialogs, uint32_t nowMs) {
  std::lock_guard lock(mutex_);
  if (dialogs == dialogs_) return;
  dialogs_ = std::move(dialogs);
  for (Watcher& w : watchers_) {
    const uint32_t left =
        static_cast<uint32_t>(std::max(0, static_cast<int32_t>(w.expiresAtMs - nowMs)));
    notify(w, "active;expires=" + std::to_string(left / 1000u), nowMs);
  }
}

void DialogNotifier::drive(uint32_t nowMs) {
  std::lock_guard lock(mutex_);
  for (auto it = watchers_.begin(); it != watchers_.end();) {
    if (due(it->expiresAtMs, nowMs)) {
      sipLogInfo("Lamps: the subscription of " + it->watcherUri + " expired");
      notify(*it, "terminated;reason=timeout", nowMs);
      it = watchers_.erase(it);
      continue;
    }
    if (!it->unansweredText.empty() && nowMs - it->lastSendMs >= kResendMs) {
      if (++it->resends > kMaxResends) {
        it->unansweredText.clear();
      } else {
        it->lastSendMs = nowMs;
        host_.ntfSend(it->target, it->unansweredText);
      }
    }
    ++it;
  }
}

void DialogNotifier::adjustWait(uint32_t nowMs, int32_t& waitMs) const {
  std::lock_guard lock(mutex_);
  for (const Watcher& w : watchers_) {
    const uint32_t next = w.unansweredText.empty() ? w.expiresAtMs : w.lastSendMs + kResendMs;
    waitMs = std::min(waitMs, std::max(0, static_cast<int32_t>(next - nowMs)));
  }
}

bool DialogNotifier::onResponse(const SipMessage& response) {
  std::lock_guard lock(mutex_);
  const std::string callId = response.header(hdr::kCallId);
  auto found = std::find_if(watchers_.begin(), watchers_.end(),
                            [&](const Watcher& w) { return w.callId == callId; });
  if (found == watchers_.end()) return false;
  if (response.status < 200 || !cseqMatches(response, found->cseq, "NOTIFY")) return true;
  found->unansweredText.clear();
  if (response.status >= 300 && response.status != 401 && response.status != 407) {
    // 481 and the like: the watcher has forgotten the subscription.
    sipLogInfo("Lamps: " + found->watcherUri + " ended its subscription (" +
               std::to_string(response.status) + ")");
    watchers_.erase(found);
  }
  return true;
}

void DialogNotifier::terminateAll() {
  std::lock_guard lock(mutex_);
  for (Watcher& w : watchers_) notify(w, "terminated;reason=noresource", 0);
  watchers_.clear();
}

}  // namespace quillet::sip
