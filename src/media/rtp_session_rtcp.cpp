// SPDX-License-Identifier: Apache-2.0
// RtpSession's RTCP: waiting on both sockets, reading the far end's reports on the RTP port
// (RFC 5761) or on their own port under the same source rules as RTP, and sending ours.
#include <algorithm>

#include "base/log.h"
#include "media/rtp_session.h"
#include "platform/event.h"
#include "platform/tick.h"

namespace quillet::media {

base::WaitResult RtpSession::waitForDatagram(int rtpFd, int rtcpFd, int32_t timeoutMs) {
  platform::Event* events[1] = {&stopEvent()};
  const int fds[2] = {rtpFd, rtcpFd};  // poll passes over a descriptor of -1
  const int result = platform::waitAnyOrReadable(events, fds, timeoutMs);
  if (result == 0) return base::WaitResult::StopRequested;
  if (result > 0) return base::WaitResult::Signalled;
  if (result == platform::kWaitTimedOut) return base::WaitResult::TimedOut;
  stopEvent().wait(20);  // a failing wait does not spin
  return base::WaitResult::Failed;
}

void RtpSession::takeMuxedRtcp(RtpSourceGuard& guard, const platform::SocketAddress& from,
                               const uint8_t* data, size_t length, uint32_t nowTick) {
  // RTCP never locks a sender in: that takes the far end's RTP.
  takeRtcp(guard.check(from, false, nowTick), from, data, length, nowTick);
}

void RtpSession::readRtcpSocket(int fd, RtpSourceGuard& rtcpGuard, const RtpSourceGuard& guard) {
  if (fd < 0) return;
  uint8_t data[kRtpMaxDatagram];
  platform::SocketAddress from;
  const int length = platform::recvFromAddress(fd, data, sizeof(data), &from);
  if (length < 0) return;
  auto size = static_cast<size_t>(length);
  if (!openReceived(data, size, true, from)) return;
  const uint32_t now = platform::tickMs();
  // A sender other than the signalled one may lock in only from the far end's RTP host.
  RtcpCompound unused;
  const platform::SocketAddress& rtpSource = guard.locked() ? *guard.locked() : destination();
  const bool usable = from.sameHost(rtpSource) && readRtcpCompound(data, size, unused);
  takeRtcp(rtcpGuard.check(from, usable, now), from, data, size, now);
}

void RtpSession::takeRtcp(RtpSourceGuard::Verdict verdict, const platform::SocketAddress& from,
                          const uint8_t* data, size_t length, uint32_t nowTick) {
  if (verdict == RtpSourceGuard::Verdict::Stranger) countStranger(from);
  if (verdict != RtpSourceGuard::Verdict::Take) return;
  RtcpCompound compound;
  if (!readRtcpCompound(data, length, compound)) {
    if (badRtcp_++ == 0) {
      base::logError("RTCP: a report that cannot be read was ignored (" + from.toString() + ", " +
                     std::to_string(length) + " bytes)");
    }
    return;
  }
  if (trace_.rtpTraceOn()) {
    trace_.traceRtpLine(rtcpTraceLine(nowTick, "<<<", from.toString(), compound));
  }
  if (rtcp_.took(compound, length, ssrc(), ntpNow(), nowTick)) {
    base::logInfo("RTCP: the far end said goodbye (BYE)");
  }
}

platform::SocketAddress RtpSession::rtcpDestination(const RtpSourceGuard& rtcpGuard) {
  platform::SocketAddress to = destination();
  if (rtcpMux_ || to.isUnspecified()) return to;
  if (rtcpGuard.locked()) return *rtcpGuard.locked();
  std::lock_guard lock(signalledLock_);
  // RTP that follows the far end's packets to another address: its RTCP is beside it.
  if (!to.sameHost(signalled_) || to.port() != signalled_.port()) {
    to.setPort(static_cast<uint16_t>(to.port() + 1));
    return to;
  }
  return signalledRtcp_;
}

void RtpSession::sendReport(const RtpSourceGuard& rtcpGuard, bool bye) {
  const uint32_t now = platform::tickMs();
  // The stream's timestamp for this moment: the next one to go out less how far the send
  // clock runs ahead of real time.
  const uint32_t rtpNow = timestamp() - static_cast<uint32_t>(sendClockAhead() * 8);
  const RtcpCompound compound = rtcp_.makeReport(ssrc(), rtpNow, ntpNow(), now, randomUnit(), bye);
  const platform::SocketAddress to = rtcpDestination(rtcpGuard);
  if (to.isUnspecified() || to.port() == 0) return;
  const std::vector<uint8_t> bytes = writeRtcpCompound(compound);
  uint8_t sealed[kRtpMaxDatagram + kSrtpMaxGrowth];
  const uint8_t* out = nullptr;
  size_t outLength = 0;
  if (!seal(bytes.data(), bytes.size(), sealed, out, outLength, true)) return;
  {
    std::shared_lock lock(socketLock_);
    const platform::UniqueFd& socket = rtcpMux_ ? socket_ : rtcpSocket_;
    if (!socket.valid()) return;
    platform::sendTo(socket.get(), out, outLength, to);
  }
  rtcp_.reportSent(bytes.size());
  if (trace_.rtpTraceOn()) trace_.traceRtpLine(rtcpTraceLine(now, ">>>", to.toString(), compound));
}

}  // namespace quillet::media
