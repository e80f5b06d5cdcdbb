// SPDX-License-Identifier: Apache-2.0
// RtpSession's encrypted media: the line's settings as the SDP takes them, SRTP contexts of
// the negotiated keys, protecting what is sent and checking what is received, and the DTLS
// handshake on the RTP port whose keys replace those of the SDP.
#include <array>
#include <cstring>

#include "base/log.h"
#include "media/rtp_session.h"
#include "platform/random.h"
#include "platform/tick.h"

namespace quillet::media {

namespace {

// How long a DTLS handshake may take before the call ends.
constexpr int32_t kDtlsHandshakeLimitMs = 10000;
constexpr int32_t kOpenPathEveryMs = 500;  // until the far end's first datagram comes

std::string describeKeys(const SrtpKeys& keys, bool dtls) {
  return "SRTP " + std::string(suiteName(keys.suite)) +
         (dtls ? " (DTLS, fingerprint verified)" : " (SDES)");
}

}  // namespace

void RtpSession::setEncryption(EncryptionMode mode, bool required) {
  encryptionMode_ = mode;
  encryptionRequired_ = required;
}

void RtpSession::setDtlsIdentity(std::shared_ptr<const DtlsIdentity> identity) {
  dtlsIdentity_ = std::move(identity);
}

void RtpSession::encryptionSettings(SdpSettings& sdp) {
  sdp.encryptionRequired = encryptionRequired_;
  const EncryptionMode mode = encryptionMode_;
  if (mode == EncryptionMode::Off) return;
  const bool wantsSdes = mode == EncryptionMode::Sdes || mode == EncryptionMode::Auto;
  const bool wantsDtls = mode == EncryptionMode::Dtls || mode == EncryptionMode::Auto;
  sdp.sdes = wantsSdes && signallingSecure_;
  sdp.dtls = wantsDtls && dtlsIdentity_ != nullptr;
  if (sdp.dtls) sdp.fingerprint = dtlsIdentity_->fingerprint();
  if (plainSignallingLogged_) return;
  if (mode == EncryptionMode::Sdes && !signallingSecure_) {
    plainSignallingLogged_ = true;
    base::logInfo(
        "Media: SDES keys are never sent or taken over unencrypted signalling (UDP or TCP)");
  } else if (wantsDtls && dtlsIdentity_ == nullptr) {
    plainSignallingLogged_ = true;
    base::logError("Media: DTLS-SRTP cannot be offered: this profile has no DTLS certificate");
  }
}

std::string RtpSession::encryption() const {
  std::lock_guard lock(srtpLock_);
  if (!activeKeys_ || dtlsWaiting_) return {};
  return describeKeys(*activeKeys_, activeDtls_.has_value());
}

void RtpSession::logEncryption() {
  const std::string state = activeKeys_ && !dtlsWaiting_
                                ? describeKeys(*activeKeys_, activeDtls_.has_value())
                                : "not encrypted";
  if (state != loggedEncryption_) {
    loggedEncryption_ = state;
    base::logInfo("Media: " + state);
  }
}

void RtpSession::installKeys(const std::optional<SrtpKeys>& keys) {
  activeKeys_ = keys;
  srtpSend_.reset();
  srtpReceive_.reset();
  if (!keys) return;
  srtpSend_ = SrtpContext::create(keys->suite, keys->local, SrtpContext::Direction::Send);
  srtpReceive_ = SrtpContext::create(keys->suite, keys->remote, SrtpContext::Direction::Receive);
  if (!srtpSend_ || !srtpReceive_) base::logError("Media: SRTP could not be set up; no audio");
}

void RtpSession::applyKeys() {
  std::lock_guard lock(srtpLock_);
  keysPending_ = false;
  negotiated_ = true;
  const std::optional<DtlsSetup>& dtls = sdp_.dtls();
  if (dtls) {
    // The same handshake goes on (a re-INVITE); a new one replaces the keys when it is done.
    if (dtls == activeDtls_) return;
    activeDtls_ = dtls;
    forgetDtlsPeer();
    installKeys(std::nullopt);
    dtlsWaiting_ = true;
    pendingDtls_ = DtlsSession::create(dtlsIdentity_, dtls->client, dtls->remoteFingerprint);
    if (!pendingDtls_) dtlsFailed("DTLS: no handshake could be started");
    return;
  }
  activeDtls_.reset();
  pendingDtls_.reset();
  dtlsWaiting_ = false;
  forgetDtlsPeer();
  const std::optional<SrtpKeys>& keys = sdp_.srtpKeys();
  // New keys start new contexts; the same keys keep their counters and replay windows.
  if (keys != activeKeys_ || (keys && (!srtpSend_ || !srtpReceive_))) installKeys(keys);
  logEncryption();
}

bool RtpSession::firstKeysAwaited() {
  if (sent_) return false;
  std::lock_guard lock(srtpLock_);
  return keysPending_ || dtlsWaiting_;
}

bool RtpSession::seal(const uint8_t* bytes, size_t length, uint8_t* buffer, const uint8_t*& out,
                      size_t& outLength, bool rtcp) {
  std::shared_ptr<SrtpContext> context;
  {
    std::lock_guard lock(srtpLock_);
    // Our offer's keys await the answer, or the handshake its end: nothing goes out plain.
    if (keysPending_ || dtlsWaiting_) return false;
    if (!activeKeys_) {
      out = bytes;
      outLength = length;
      return true;
    }
    context = srtpSend_;
  }
  constexpr size_t kCapacity = kRtpMaxDatagram + kSrtpMaxGrowth;
  if (!context || length > kRtpMaxDatagram) return false;
  std::memcpy(buffer, bytes, length);
  outLength = length;
  if (!(rtcp ? context->protectRtcp(buffer, outLength, kCapacity)
             : context->protectRtp(buffer, outLength, kCapacity))) {
    return false;
  }
  out = buffer;
  return true;
}

bool RtpSession::openReceived(uint8_t* data, size_t& length, bool rtcp,
                              const platform::SocketAddress& from) {
  std::shared_ptr<SrtpContext> context;
  {
    std::lock_guard lock(srtpLock_);
    if (keysPending_ || dtlsWaiting_) return false;  // which keys it has is not known yet
    if (!activeKeys_) return true;
    context = srtpReceive_;
  }
  // STUN keep-alives (some phones send them to both media ports) are no SRTP packets:
  // dropped, not counted as failed.
  if (classifyDatagram(data, length) != DatagramKind::Rtp) return false;
  if (context &&
      (rtcp ? context->unprotectRtcp(data, length) : context->unprotectRtp(data, length))) {
    return true;
  }
  if (unauthenticated_++ == 0) {
    base::logError(std::string(rtcp ? "SRTCP" : "SRTP") +
                   ": a packet that fails authentication was dropped (" + from.toString() + ")");
  }
  return false;
}

void RtpSession::dtlsFailed(const std::string& why) {
  base::logError(why);
  base::logError("Media: the call ends, as its media cannot be encrypted");
  if (failureListener_) failureListener_();
}

void RtpSession::sendDtls(DtlsRun& run, const DtlsSession::Datagrams& datagrams) {
  if (!datagrams.empty() &&
      classifyDatagram(datagrams.front().data(), datagrams.front().size()) == DatagramKind::Dtls) {
    run.lastFlight = datagrams;
  }
  const platform::SocketAddress to = run.peer.isUnspecified() ? destination() : run.peer;
  if (to.isUnspecified()) return;
  std::shared_lock lock(socketLock_);
  if (!socket_.valid()) return;
  for (const std::vector<uint8_t>& datagram : datagrams) {
    platform::sendTo(socket_.get(), datagram.data(), datagram.size(), to);
  }
}

void RtpSession::pickUpDtls(DtlsRun& run) {
  std::shared_ptr<DtlsSession> fresh;
  {
    std::lock_guard lock(srtpLock_);
    fresh = std::move(pendingDtls_);
  }
  if (!fresh) return;
  run.session = std::move(fresh);
  run.startTick = platform::tickMs();
  run.settled = false;
  run.peer = {};
  sendDtls(run, run.session->start());
  openPathForDtls(run);
  std::vector<std::pair<platform::SocketAddress, std::vector<uint8_t>>> early;
  early.swap(run.early);
  for (const auto& [from, datagram] : early) takeDtls(run, from, datagram.data(), datagram.size());
}

void RtpSession::takeDtls(DtlsRun& run, const platform::SocketAddress& from, const uint8_t* data,
                          size_t length) {
  if (!run.session) {
    if (run.early.size() < kEarlyDtlsMost)
      run.early.emplace_back(from, std::vector(data, data + length));
    return;
  }
  run.peer = from;
  sendDtls(run, run.session->receive(data, length));
  settleDtls(run);
}

int32_t RtpSession::serviceDtls(DtlsRun& run) {
  if (!run.session || run.settled) return 1000;
  if (platform::tickDiff(platform::tickMs(), run.startTick) > kDtlsHandshakeLimitMs) {
    run.settled = true;
    dtlsFailed("DTLS: the handshake did not finish within 10 seconds");
    return 1000;
  }
  if (platform::tickDiff(platform::tickMs(), run.openedTick) >= kOpenPathEveryMs) {
    openPathForDtls(run);
  }
  int32_t due = run.session->msUntilResend();
  if (due == 0) {
    sendDtls(run, run.session->resend());
    due = run.session->msUntilResend();
  }
  return due < 0 ? 100 : std::max<int32_t>(due, 1);
}

void RtpSession::openPathForDtls(DtlsRun& run) {
  if (run.session->client() || !run.peer.isUnspecified()) return;
  run.openedTick = platform::tickMs();
  // Binding indication (RFC 5389): type 0x0011, no attributes, the magic cookie, a random
  // transaction id. Far ends tell it from RTP and DTLS by its first byte and drop it.
  std::array<uint8_t, 20> indication{0x00, 0x11, 0x00, 0x00};
  std::memcpy(indication.data() + 4, kStunMagicCookie, 4);
  for (size_t at = 8; at < indication.size(); at += 4) {
    const uint32_t random = platform::random32();
    std::memcpy(indication.data() + at, &random, 4);
  }
  sendDtls(run, {std::vector<uint8_t>(indication.begin(), indication.end())});
}

void RtpSession::takePathOpener(DtlsRun& run, const platform::SocketAddress& from) {
  if (!run.session || run.settled || !run.session->client() || !run.peer.isUnspecified()) return;
  const platform::SocketAddress named = destination();
  if (from == named || !from.sameHost(named)) return;  // only the far end's host moves it
  base::logInfo("DTLS: the far end's packets come from " + from.toString() + ", not " +
                named.toString() + "; the handshake goes there");
  run.peer = from;
  sendDtls(run, DtlsSession::Datagrams(run.lastFlight));
}

void RtpSession::followDtlsPeer(const platform::SocketAddress& peer) {
  platform::SocketAddress named;
  platform::SocketAddress rtcp;
  bool latch = false;
  {
    std::lock_guard lock(signalledLock_);
    named = signalled_;
    rtcp = rtcpMux_ ? peer : signalledRtcp_;
    latch = latchSource_;
  }
  if (peer.isUnspecified() || peer == named) return;
  {
    std::lock_guard lock(destinationLock_);
    dtlsFollowed_.emplace(named, peer);
    destination_ = peer;
  }
  setSignalled(peer, rtcp, latch);  // the source guards take the far end from there
  base::logInfo("DTLS: the far end proved itself at " + peer.toString() + "; its media goes there");
}

void RtpSession::forgetDtlsPeer() {
  std::lock_guard lock(destinationLock_);
  dtlsFollowed_.reset();
}

platform::SocketAddress RtpSession::followedAddress(const platform::SocketAddress& address) const {
  std::lock_guard lock(destinationLock_);
  return dtlsFollowed_ && dtlsFollowed_->first == address ? dtlsFollowed_->second : address;
}

void RtpSession::settleDtls(DtlsRun& run) {
  if (run.settled) return;
  switch (run.session->state()) {
    case DtlsSession::State::Handshaking:
      return;
    case DtlsSession::State::Failed:
      run.settled = true;
      dtlsFailed(run.session->failure());
      return;
    case DtlsSession::State::Done:
      break;
  }
  run.settled = true;
  followDtlsPeer(run.peer);
  std::lock_guard lock(srtpLock_);
  installKeys(run.session->keys());
  dtlsWaiting_ = false;
  logEncryption();
}

}  // namespace quillet::media
