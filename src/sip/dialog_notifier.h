// SPDX-License-Identifier: Apache-2.0
// DialogNotifier: this side as the notifier of its own line's dialog state (Event: dialog).
// Watchers on the allow list subscribe with SUBSCRIBE; each gets a NOTIFY with the full
// dialog-info document at once and on every change, until its subscription expires, it
// ends it, or this side shuts down. The number of watchers and the SUBSCRIBEs a source may
// send are bounded.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sip/dialog_info.h"
#include "sip/sip_message.h"
#include "sip/sip_target.h"

namespace quillet::sip {

// What the notifier needs of the transport (transport thread).
class NotifierHost {
 public:
  virtual ~NotifierHost() = default;
  // The address and port named in Via and Contact towards a watcher.
  virtual void ntfLocal(const SipTarget& to, std::string& address, uint16_t& port) = 0;
  virtual std::string ntfNewBranch() = 0;
  virtual void ntfSend(const SipTarget& to, std::string_view text) = 0;
};

// How a SUBSCRIBE is answered: the status (with Expires when 2xx), and this side's tag.
struct SubscribeAnswer {
  int32_t status = 0;
  int32_t expires = 0;
  std::string toTag;
  std::string extraHeaders;  // each line ending in CR LF
};

struct Watcher {
  std::string callId;
  std::string localTag;
  std::string remoteTag;
  std::string watcherUri;  // To of the NOTIFYs
  std::string remoteUri;   // their request URI (the watcher's Contact)
  std::string entity;      // the SUBSCRIBE's request URI: the line watched
  SipTarget target;
  uint32_t cseq = 0;
  uint32_t version = 0;
  uint32_t expiresAtMs = 0;
  std::string lastBody;
  std::string unansweredBranch;  // a NOTIFY waiting for its answer, resent once a second
  std::string unansweredText;
  uint32_t lastSendMs = 0;
  int resends = 0;
};

class DialogNotifier {
 public:
  static constexpr size_t kMaxWatchers = 32;
  static constexpr int32_t kDefaultExpires = 3600;
  static constexpr int32_t kMinExpires = 60;
  static constexpr uint32_t kRateWindowMs = 10000;  // per source address:
  static constexpr int kRateLimit = 10;             // SUBSCRIBEs within the window
  static constexpr uint32_t kResendMs = 1000;
  static constexpr int kMaxResends = 4;

  // Whether the watcher named by a From value may see the line.
  using AllowCheck = std::function<bool(std::string_view from)>;

  explicit DialogNotifier(NotifierHost& host) : host_(host) {}
  void setAllowCheck(AllowCheck check);

  // Transport thread. Decides a SUBSCRIBE (403 for a watcher not allowed, 489 for another
  // event, 503 when full or the source sends too many, 423 for a short expiry) and for a
  // 2xx remembers the watcher and sends its NOTIFY.
  // `respond` sends the answer before the first NOTIFY goes.
  using Responder = std::function<void(const SubscribeAnswer& answer)>;
  void onSubscribe(const SipMessage& request, std::string newTag, uint32_t nowMs,
                   const Responder& respond);
  // The line's dialogs now: every watcher hears of a change.
  void setDialogs(std::vector<DialogEntry> dialogs, uint32_t nowMs);
  // Expired subscriptions end; unanswered NOTIFYs are sent again.
  void drive(uint32_t nowMs);
  void adjustWait(uint32_t nowMs, int32_t& waitMs) const;
  // An answer to one of our NOTIFYs; false when none has its Call-ID.
  bool onResponse(const SipMessage& response);
  // Ends every subscription (at shut-down).
  void terminateAll();
  size_t watcherCount() const;

 private:
  SubscribeAnswer decide(const SipMessage& request, std::string newTag, uint32_t nowMs);
  bool rateLimited(const std::string& source, uint32_t nowMs);
  void notify(Watcher& w, std::string_view state, uint32_t nowMs);
  void logRefusal(const std::string& text, uint32_t nowMs);

  NotifierHost& host_;
  mutable std::mutex mutex_;
  AllowCheck allowed_;
  std::vector<Watcher> watchers_;
  std::vector<DialogEntry> dialogs_;
  struct SourceCount {
    std::string source;
    uint32_t windowStartMs = 0;
    int count = 0;
  };
  std::vector<SourceCount> sources_;
  uint32_t lastRefusalLogMs_ = 0;
  int refusalsUnlogged_ = 0;
  bool refusalLogged_ = false;
};

}  // namespace quillet::sip
