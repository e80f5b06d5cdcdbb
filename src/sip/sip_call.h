// SPDX-License-Identifier: Apache-2.0
// SipCall: one INVITE dialog (its identity, route set and state) with the queue of
// messages the transport hands to it.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/event.h"
#include "sip/sip_message.h"

namespace quillet::sip {

class SipCall {
 public:
  SipCall();
  SipCall(const SipCall&) = delete;
  SipCall& operator=(const SipCall&) = delete;

  // Transport thread: appends a message and sets the event.
  void push(SipMessage message);
  // Removes the oldest message (the dialog's own event is reset when the queue becomes
  // empty; a shared one is left to its owner).
  std::optional<SipMessage> pop();
  bool hasMessages() const;
  // The dialog's own event, for the call loops (invalid when descriptors ran out); gone
  // after shareWake.
  platform::Event& messageEvent() { return *ownEvent_; }
  // From now on a message sets `wake` (the reaper's), and the dialog's own event and its
  // descriptor go: an ended dialog kept for late retransmissions holds no descriptor.
  void shareWake(platform::Event& wake);

  // The transport's match: Call-ID equal and, when the message names a local tag (To of a
  // request, From of a response), that tag equal to ours.
  bool matches(std::string_view callIdValue, std::string_view tagOrEmpty) const;

  // The far end's tag once a 2xx has made the dialog (any thread). A 2xx to the INVITE with
  // another To tag then comes from another fork: a dialog of its own, which is ended.
  void confirmRemoteTag(std::string tag);
  bool isOtherFork(std::string_view toTag) const;
  // Whether this is the dialog of that Call-ID, local tag and far end's tag (known once the
  // dialog is made): what a Replaces header must name.
  bool isDialog(std::string_view callIdValue, std::string_view local,
                std::string_view remote) const;

  // Next local CSeq (incremented before each new request of the dialog).
  uint32_t nextCSeq() { return ++localCSeq; }

  std::string callId;
  std::string localTag;
  uint32_t localCSeq = 0;
  // A dialog made from an incoming INVITE: that INVITE's CSeq value and top Via.
  std::string inviteCSeq;
  std::string inviteTopVia;
  std::string user;  // for Contact
  std::string authUser;
  std::string password;
  std::string localNameAddr;               // with the local tag
  std::string remoteNameAddr;              // with the remote tag once known
  std::string remoteTarget;                // URI
  std::string routeSet;                    // comma-separated name-addrs
  bool presetRoute = false;                // the route set is the preset outbound-server route
  std::optional<TransportKind> transport;  // the line's, for URIs that name none
  std::shared_ptr<const TlsSettings> tls;  // the line's, for connections the call opens
  bool established = false;
  bool createdHere = false;    // this side sent the INVITE that made the dialog
  uint32_t quirks = 0;         // bit 0: do not probe this peer
  bool updateAllowed = false;  // the far end's Allow lists UPDATE (session refreshes use it)

 private:
  mutable std::mutex queueLock_;
  std::deque<SipMessage> queue_;
  std::string confirmedRemoteTag_;             // guarded by queueLock_
  std::unique_ptr<platform::Event> ownEvent_;  // null once shared
  platform::Event* wake_;                      // guarded by queueLock_
};

// The "tag" parameter of a To or From value ("" when none).
std::string tagOf(std::string_view nameAddrValue);
// The first Via of a message ("" when none).
std::string topVia(const SipMessage& message);

}  // namespace quillet::sip
