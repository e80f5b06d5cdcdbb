// SPDX-License-Identifier: Apache-2.0
// DialogReaper: CANCEL, late ACK and BYE of ended dialogs, in the background.
#include "sip/dialog_reaper.h"

#include <algorithm>

#include "platform/tick.h"
#include "sip/sip_log.h"
#include "sip/sip_templates.h"
#include "sip/sip_transport.h"
#include "sip/sip_uri.h"

namespace quillet::sip {

namespace {
int32_t since(uint32_t now, uint32_t then) {
  return static_cast<int32_t>(now - then);
}
constexpr int32_t kLongestWaitMs = 3600000;

void answer(SipTransport& transport, const SipMessage& request, int32_t status,
            std::string_view toTag) {
  ResponseSpec form;
  form.status = status;
  form.reason = reasonPhrase(status);
  form.toTag = toTag;
  transport.sendResponse(request, form);
}
}  // namespace

DialogReaper::DialogReaper(SipTransport& transport) : transport_(transport) {}

DialogReaper::~DialogReaper() {
  Stop();
  std::lock_guard lock(lock_);
  for (auto& record : records_) transport_.unregisterCall(record->call.get());
  records_.clear();
}

size_t DialogReaper::recordCount() const {
  std::lock_guard lock(lock_);
  return records_.size();
}

void DialogReaper::startBye(Record& record, uint32_t nowMs) {
  record.bye = newDialogRequest(*record.call, transport_, "BYE");
  record.bye.request.text = buildBye(record.bye.request, record.bye.context());
  transport_.send(record.bye.request.destination, record.bye.request.text);
  record.byeActive = true;
  record.byeIntervalMs = kResendStartMs;
  record.byeNextMs = nowMs + record.byeIntervalMs;
}

void DialogReaper::sendCancel(Record& record, uint32_t nowMs) {
  if (!record.cancelSent) {
    record.cancelSent = true;
    record.cancelIntervalMs = kResendStartMs;
  }
  transport_.send(record.cancel.request.destination, record.cancel.request.text);
  record.cancelNextMs = nowMs + record.cancelIntervalMs;
}

void DialogReaper::handOver(std::unique_ptr<SipCall> call) {
  if (!call) return;
  auto record = std::make_unique<Record>();
  record->handedMs = platform::tickMs();
  record->call = std::move(call);
  record->call->shareWake(changed_);
  std::lock_guard lock(lock_);
  if (record->call->established) {
    idle_.reset();
    startBye(*record, record->handedMs);
  }
  records_.push_back(std::move(record));
  changed_.set();
}

void DialogReaper::endOtherFork(const SipMessage& response, const ForkIdentity& identity) {
  auto fork = std::make_unique<SipCall>();
  fork->callId = response.header(hdr::kCallId);
  fork->localNameAddr = response.header(hdr::kFrom);
  fork->localTag = tagOf(fork->localNameAddr);
  fork->remoteNameAddr = response.header(hdr::kTo);
  const std::string contact = response.header(hdr::kContact);
  fork->remoteTarget =
      contact.empty() ? parseNameAddr(fork->remoteNameAddr).uri : parseNameAddr(contact).uri;
  fork->routeSet = routeSetFromResponse(response.headerValues(hdr::kRecordRoute));
  fork->user = identity.user;
  fork->authUser = identity.authUser;
  fork->password = identity.password;
  fork->createdHere = true;
  fork->established = true;
  fork->confirmRemoteTag(tagOf(fork->remoteNameAddr));
  // The ACK repeats the INVITE's CSeq number; the BYE takes the next one.
  fork->localCSeq = static_cast<uint32_t>(decimalValue(response.header(hdr::kCSeq)));
  DialogRequest ack = newDialogRequest(*fork, transport_, "ACK", false);
  ack.request.text = buildAck(ack.request, ack.context());
  transport_.sendAck(response, ack.request.destination, ack.request.text);
  sipLogInfo("Another fork answered the call too: ending that dialog with " + fork->remoteNameAddr);
  transport_.registerCall(fork.get());
  handOver(std::move(fork));
}

void DialogReaper::handOverCancel(std::unique_ptr<SipCall> call, const DialogRequest& invite,
                                  bool provisionalReceived) {
  if (!call) return;
  auto record = std::make_unique<Record>();
  record->handedMs = platform::tickMs();
  record->call = std::move(call);
  record->call->shareWake(changed_);
  record->cancelling = true;
  record->invite = invite;
  record->cancel = cancelFor(invite);
  record->cancel.request.text = buildCancel(record->cancel.request, record->cancel.context());
  std::lock_guard lock(lock_);
  if (provisionalReceived) {
    idle_.reset();
    sendCancel(*record, record->handedMs);
  }
  records_.push_back(std::move(record));
  changed_.set();
}

void DialogReaper::serviceMessages(Record& record, uint32_t nowMs) {
  SipCall& call = *record.call;
  while (std::optional<SipMessage> message = call.pop()) {
    if (transport_.answerFromCache(*message)) continue;
    if (message->isRequest()) {
      const std::string& method = message->method;
      if (method == "BYE") {
        answer(transport_, *message, 200, call.localTag);
        call.established = false;
        record.byeActive = false;
      } else if (method == "CANCEL") {
        answer(transport_, *message, 200, call.localTag);
      } else if (method != "ACK") {
        answer(transport_, *message, 487, call.localTag);
      }
      continue;
    }
    const int32_t status = message->status;
    if (record.cancelSent && cseqMatches(*message, record.cancel.request.cseq, "CANCEL")) {
      // The CANCEL was answered: no more resends (the INVITE's final answer still counts).
      record.cancelNextMs = nowMs + kLongestWaitMs;
      record.cancelIntervalMs = kLongestWaitMs;
      continue;
    }
    if (!record.invite.request.method.empty() &&
        cseqMatches(*message, record.invite.request.cseq, "INVITE")) {
      if (status >= 200) {
        const bool success = status <= 299;
        if (success) {
          // Take the dialog from the 2xx so that the BYE reaches the far end.
          call.remoteNameAddr = message->header(hdr::kTo);
          const std::string contact = message->header(hdr::kContact);
          if (!contact.empty()) call.remoteTarget = parseNameAddr(contact).uri;
          const auto recordRoutes = message->headerValues(hdr::kRecordRoute);
          if (!recordRoutes.empty()) {
            call.routeSet = routeSetFromResponse(recordRoutes);
            call.presetRoute = false;
          }
        }
        DialogRequest ack = ackFor(record.invite, *message, call, transport_);
        ack.request.text = buildAck(ack.request, ack.context());
        transport_.sendAck(*message, ack.request.destination, ack.request.text);
        record.cancelling = false;
        if ((success || call.established) && !record.byeActive) {
          call.established = true;
          startBye(record, nowMs);
        }
      } else if (record.cancelling && !record.cancelSent) {
        sendCancel(record, nowMs);
      }
      continue;
    }
    if (record.byeActive && cseqMatches(*message, record.bye.request.cseq, "BYE")) {
      if (status < 200) continue;
      if (status == 491) {
        startBye(record, nowMs);
      } else if (status == 401 || status == 407) {
        if (authenticateRequest(record.bye.request, *message, call.authUser, call.password)) {
          record.bye.request.cseq = call.nextCSeq();
          record.bye.request.branch = transport_.newBranch();
          record.bye.request.text = buildBye(record.bye.request, record.bye.context());
          transport_.send(record.bye.request.destination, record.bye.request.text);
          record.byeIntervalMs = kResendStartMs;
          record.byeNextMs = nowMs + record.byeIntervalMs;
        } else {
          record.byeActive = false;
        }
      } else {
        record.byeActive = false;
        call.established = false;
      }
    }
  }
}

int32_t DialogReaper::serviceTimers(Record& record, uint32_t nowMs, bool& pending) {
  int32_t wait = kLongestWaitMs;
  if (record.cancelling && record.cancelSent && record.cancelIntervalMs != kLongestWaitMs) {
    if (since(nowMs, record.handedMs) <= static_cast<int32_t>(kCancelForMs)) {
      if (since(record.cancelNextMs, nowMs) <= 100) {
        record.cancelIntervalMs = std::min(record.cancelIntervalMs * 2, kResendMostMs);
        sendCancel(record, nowMs);
      }
      pending = true;
      wait = std::min(wait, std::max(0, since(record.cancelNextMs, nowMs)));
    } else {
      record.cancelling = false;
      if (!record.byeActive) startBye(record, nowMs);
    }
  }
  if (record.byeActive) {
    if (since(nowMs, record.handedMs) <= static_cast<int32_t>(kByeForMs)) {
      if (since(record.byeNextMs, nowMs) <= 100) {
        record.byeIntervalMs = std::min(record.byeIntervalMs * 2, kResendMostMs);
        transport_.send(record.bye.request.destination, record.bye.request.text);
        record.byeNextMs = nowMs + record.byeIntervalMs;
      }
      pending = true;
      wait = std::min(wait, std::max(0, since(record.byeNextMs, nowMs)));
    } else {
      record.byeActive = false;
    }
  }
  return wait;
}

void DialogReaper::Run() {
  while (!stopRequested()) {
    const uint32_t now = platform::tickMs();
    bool pending = false;
    int32_t wait = kLongestWaitMs;
    {
      std::lock_guard lock(lock_);
      for (auto it = records_.begin(); it != records_.end();) {
        Record& record = **it;
        serviceMessages(record, now);
        wait = std::min(wait, serviceTimers(record, now, pending));
        if (since(now, record.handedMs) >= static_cast<int32_t>(kRecordLifeMs)) {
          transport_.unregisterCall(record.call.get());
          it = records_.erase(it);
          continue;
        }
        wait = std::min(wait, static_cast<int32_t>(kRecordLifeMs) - since(now, record.handedMs));
        ++it;
      }
    }
    if (pending) {
      idle_.reset();
    } else {
      idle_.set();
    }
    // Every kept dialog wakes the reaper through changed_.
    const base::WaitResult r = base::WaitForEventOrStop(*this, changed_, std::max(wait, 1));
    if (r == base::WaitResult::StopRequested) break;
  }
}

}  // namespace quillet::sip
