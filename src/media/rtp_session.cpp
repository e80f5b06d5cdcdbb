// SPDX-License-Identifier: Apache-2.0
// RtpSession: port opening, SDP exchange, sending, the send clock, the receive thread
// with its source guard, reorder and playout, symmetric RTP and keep-alives;
// RtpCaptureSink. The RTCP side of the receive thread is in rtp_session_rtcp.cpp.
#include "media/rtp_session.h"

#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "audio/converters.h"
#include "base/log.h"
#include "base/net_facts.h"
#include "media/codec_choice.h"
#include "media/playout_clock.h"
#include "media/reorder_buffer.h"
#include "platform/tick.h"

namespace quillet::media {

namespace {

uint16_t portSetting(int32_t value) {
  return static_cast<uint16_t>(value < 0 ? 0 : value > 65535 ? 65535 : value);
}

void sleepMs(uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The address of the interface that routes to the far end; the host's own address when
// the far end is unknown or unreachable.
std::string ownAddressTowards(const platform::SocketAddress& towards) {
  const platform::SocketAddress local = platform::localAddressTowards(towards);
  if (!local.isUnspecified() && !local.isLinkLocal()) return local.host();
  return towards.isIpv6() ? "::1" : base::localAddress();
}

// Binds the RTP socket at `port` and the RTCP socket at port + 1, moving on by two while
// either is in use. Any other failure of the RTP socket leaves none; the RTCP socket alone
// failing otherwise (or the system choosing the RTP port) leaves RTP without it. Answers the
// port (0: the system's choice, or no socket).
uint16_t bindPortPair(platform::UniqueFd& rtp, platform::UniqueFd& rtcp, uint16_t port) {
  while (true) {
    rtcp.reset();
    if (platform::bindDualStackUdp(rtp, port)) {
      if (port == 0) port = platform::localEndpoint(rtp.get()).port;
      if (port == 0 || port == 65535) return port;
      if (platform::bindDualStackUdp(rtcp, static_cast<uint16_t>(port + 1)) ||
          errno != EADDRINUSE) {
        return port;
      }
      rtp.reset();
      errno = EADDRINUSE;
    }
    if (errno != EADDRINUSE || port >= 65534) return port;
    port = static_cast<uint16_t>(port + 2);
  }
}

// The address the far end's SDP names (a number, or a name looked up), with its port.
platform::SocketAddress remoteMediaAddress(const std::string& host, uint16_t port) {
  const std::vector<platform::SocketAddress> found = platform::lookupHost(host, port);
  return found.empty() ? platform::SocketAddress() : found.front();
}

}  // namespace

RtpSettings RtpSettings::load(base::SettingsStore& store) {
  RtpSettings settings;
  settings.portBase = store.readInt("SIP", "RTPPortBase", 8000);
  settings.staticPortBase = store.readInt("SIP", "STATICRTPPortBase", 8000);
  settings.nat = net::NatSettings::load(store);
  settings.sdp.quality = store.readInt("SIP", "Quality", 50);
  settings.sdp.active = settings.nat.active;
  return settings;
}

// Where the receive thread's playout writes: the playback writer, under its lock.
class RtpSession::Playback : public PlayoutOutput {
 public:
  explicit Playback(RtpSession& session) : session_(session) {}
  uint32_t nowMs() override { return platform::tickMs(); }
  void sleepMs(uint32_t ms) override { session_.stopEvent().wait(static_cast<int32_t>(ms)); }
  void writeSamples(const int32_t* samples, size_t count) override {
    std::lock_guard lock(session_.playbackLock_);
    audio::SinkRef& writer = session_.playbackWriter_;
    if (writer->rate() == rate_ || writer->rate() == 0) {
      writer->Write(samples, static_cast<uint32_t>(count));
      return;
    }
    // A pipe made before the codec changed its rate (a re-INVITE to another codec).
    converted_.clear();
    convertRate(samples, count, rate_, writer->rate(), converted_);
    writer->Write(converted_.data(), static_cast<uint32_t>(converted_.size()));
  }
  void setRate(uint32_t rate) { rate_ = rate; }

 private:
  RtpSession& session_;
  uint32_t rate_ = 8000;
  std::vector<int32_t> converted_;
};

RtpSession::RtpSession(base::SettingsStore& store, RtpTrace& trace)
    : RtpSession(RtpSettings{}, trace) {
  store_ = &store;
}

RtpSession::RtpSession(const RtpSettings& settings, RtpTrace& trace)
    : fixedSettings_(settings),
      trace_(trace),
      dtmf_(*this),
      lastSendTick_(platform::tickMs()),
      pacingBaseTick_(timestamp()),
      pacingBaseTimestamp_(timestamp()) {}

RtpSession::~RtpSession() {
  stop();
}

RtpSettings RtpSession::currentSettings() {
  RtpSettings settings = store_ != nullptr ? RtpSettings::load(*store_) : fixedSettings_;
  settings.sdp.g726Aal2Packing = settings.sdp.g726Aal2Packing || g726Aal2Packing_;
  if (!codecs_.empty()) settings.sdp.codecs = codecs_;
  lineRate_ = static_cast<uint32_t>(highestRate(
      settings.sdp.codecs.empty() ? defaultCodecOrder(settings.sdp.quality) : settings.sdp.codecs));
  encryptionSettings(settings.sdp);
  return settings;
}
void RtpSession::closeSocket() {
  std::unique_lock lock(socketLock_);
  socket_.reset();
  rtcpSocket_.reset();
}

void RtpSession::openPort(platform::Event* stop, const platform::SocketAddress& towards,
                          net::PublicAddressResolver* resolver) {
  closeSocket();
  RtpSettings settings = currentSettings();
  net::NatResolver localResolver(settings.nat);
  if (resolver == nullptr) resolver = &localResolver;

  auto port = static_cast<uint16_t>(portSetting(settings.portBase) & ~1u);
  int attempts = 0;
  platform::UniqueFd socket;
  platform::UniqueFd rtcpSocket;
  while (true) {
    port = bindPortPair(socket, rtcpSocket, port);
    int tos = kTypeOfService;
    if (socket.valid()) {
      setsockopt(socket.get(), IPPROTO_IP, IP_TOS, &tos, sizeof(tos));
      setsockopt(socket.get(), IPPROTO_IPV6, IPV6_TCLASS, &tos, sizeof(tos));
    }

    privateAddress_ = privateOverride_.empty() ? ownAddressTowards(towards) : privateOverride_;
    privatePort_ = port;
    if (towards.isIpv6()) {
      publicAddress_ = privateAddress_;
      publicPort_ = port;
      break;
    }
    net::PublicAddress found = resolver->resolve({privateAddress_, port, socket.get(), 16,
                                                  portSetting(settings.staticPortBase),
                                                  portSetting(settings.portBase), stop});
    publicAddress_ = found.address;
    publicPort_ = found.port;
    if (store_ != nullptr && resolver == &localResolver && localResolver.clearedActive()) {
      store_->writeBool("SIP", "Active", false);
    }
    if ((publicPort_ & 1) == 0) break;
    if (!settings.nat.stun) {
      base::logError("Public RTP port is not an even number (it should be).");
      base::logError("Check your Network Settings.");
      break;
    }
    ++attempts;
    if (attempts == 20) {
      base::logError("Something is wrong with the NAT device");
      base::logError("It always assigns'odd' ports which are forbidden for Rtp");
      base::logError("Check your NAT or turn off STUN.");
    }
    if (attempts > 100) break;
    socket.reset();
    port = static_cast<uint16_t>(port + 2);
  }
  {
    std::unique_lock lock(socketLock_);
    socket_ = std::move(socket);
    rtcpSocket_ = std::move(rtcpSocket);
  }
  lastSendTick_ = platform::tickMs();
  // A new port is a new call: a new stream, whose clock has nothing to line up with.
  renew();
  rtcp_.restart();
  rtcpMux_ = false;
  sdp_.renewKeys();
  {
    std::lock_guard lock(srtpLock_);
    activeKeys_.reset();
    srtpSend_.reset();
    srtpReceive_.reset();
    loggedEncryption_.clear();
    keysPending_ = false;
    negotiated_ = false;
    activeDtls_.reset();
    pendingDtls_.reset();
    dtlsWaiting_ = false;
  }
  plainSignallingLogged_ = false;
  unauthenticated_ = 0;
  {
    std::lock_guard lock(pacingLock_);
    pacingBaseTick_ = platform::tickMs();
    pacingBaseTimestamp_ = timestamp();
  }
  sent_ = false;
}

std::string RtpSession::makeOffer(MediaDirection direction) {
  sdp_.setSettings(currentSettings().sdp);
  sdp_.prepare(publicAddress_, publicPort_, privateAddress_, privatePort_);
  std::string offer = sdp_.makeOffer(direction);
  std::lock_guard lock(srtpLock_);
  // Until the answer says which key it took, nothing plain goes out or is played. A re-offer
  // in a call keeps what the call has until its answer comes (or for good, when refused).
  keysPending_ = sdp_.offeredKeys() && !activeKeys_ && !negotiated_;
  return offer;
}

bool RtpSession::takeOffer(std::string_view body, MediaDirection wanted, std::string& answer) {
  if (body.empty()) return true;
  sdp_.setSettings(currentSettings().sdp);
  sdp_.prepare(publicAddress_, publicPort_, privateAddress_, privatePort_);
  if (!sdp_.takeOffer(body, wanted, answer)) return false;
  afterNegotiation();
  return true;
}

bool RtpSession::takeAnswer(std::string_view body) {
  if (body.empty()) return true;
  if (!sdp_.takeAnswer(body)) return false;
  afterNegotiation();
  return true;
}

void RtpSession::afterNegotiation() {
  copyNegotiated();
  if (running()) {
    // A re-negotiation during the call: events with the new type, and a new sender lock.
    dtmf_.Stop();
    dtmf_.clearBusy();
    dtmf_.setPayloadTypes(sdp_.telephoneEventPayloadType(), chosen_, g726_, g726Aal2_);
    dtmf_.clearQueue();
    dtmf_.Start(platform::kPriorityNormal);
    receiveReset_ = true;
  }
}

void RtpSession::copyNegotiated() {
  applyKeys();
  chosen_ = sdp_.chosenPayloadType();
  if (chosen_ != kNoPayloadType) codec_ = sdp_.chosenCodec();
  {
    codecs::OpusSettings ours;
    ours.sampleRate = 16000;
    ours.maxAudioRate = 16000;
    ours.bitRate = opusBitRate_;
    std::lock_guard lock(opusLock_);
    opusSend_ = codecs::opusSettingsFor(sdp_.peerOpus(), ours);
  }
  ++codecVersion_;
  comfortNoise_ = sdp_.comfortNoisePayloadType();
  g726_ = sdp_.g726PayloadType();
  g726Aal2_ = sdp_.g726Aal2PayloadType();
  const platform::SocketAddress signalled =
      followedAddress(remoteMediaAddress(sdp_.remoteAddress(), sdp_.remotePort()));
  rtcpMux_ = sdp_.rtcpMux();
  platform::SocketAddress signalledRtcp = signalled;
  if (!rtcpMux_ && signalled.port() != 0) {
    const uint16_t named = sdp_.remoteRtcpPort();
    signalledRtcp.setPort(named != 0 ? named : static_cast<uint16_t>(signalled.port() + 1));
  }
  setDestination(signalled);
  setSignalled(signalled, signalledRtcp, sdp_.peerActive());
  peerActive_ = sdp_.peerActive();
  peerDirection_ = sdp_.peerDirection();
  direction_ = sdp_.direction();
  dtmf_.setPayloadTypes(sdp_.telephoneEventPayloadType(), chosen_, g726_, g726Aal2_);
  dtmf_.setClockPerMs(clockPerMs());
  const codecs::CodecId codec = codec_;
  dtmf_.setWideCodec(chosen_ != kNoPayloadType && isWideband(codec) ? static_cast<int>(codec) : -1);
}

void RtpSession::setDestination(const platform::SocketAddress& address) {
  std::lock_guard lock(destinationLock_);
  destination_ = address;
}

platform::SocketAddress RtpSession::destination() const {
  std::lock_guard lock(destinationLock_);
  return destination_;
}

void RtpSession::setSignalled(const platform::SocketAddress& endpoint,
                              const platform::SocketAddress& rtcpEndpoint, bool latch) {
  std::lock_guard lock(signalledLock_);
  if (endpoint == signalled_ && rtcpEndpoint == signalledRtcp_ && latch == latchSource_) return;
  signalled_ = endpoint;
  signalledRtcp_ = rtcpEndpoint;
  latchSource_ = latch;
  signalledTick_ = platform::tickMs();
  ++rulesVersion_;
}

uint32_t RtpSession::armGuards(RtpSourceGuard& guard, RtpSourceGuard& rtcpGuard,
                               std::optional<uint32_t> since) {
  std::lock_guard lock(signalledLock_);
  const uint32_t from = since.value_or(signalledTick_);
  guard.arm(signalled_, latchSource_, from, fixedSettings_.latchWindowMs);
  rtcpGuard.arm(signalledRtcp_, latchSource_, from, fixedSettings_.latchWindowMs);
  return rulesVersion_;
}

PlayoutTypes RtpSession::playoutTypes() const {
  PlayoutTypes types{comfortNoise_, g726_, g726Aal2_, dtmf_.telephoneEventType()};
  const codecs::CodecId codec = codec_;
  if (isWideband(codec) && chosen_ != kNoPayloadType) {
    types.wide = chosen_;
    types.wideOffered = static_cast<uint8_t>(codecs::codecInfo(codec).payloadType);
    types.wideCodec = codec;
  }
  return types;
}

uint32_t RtpSession::callRate() const {
  return chosen_ != kNoPayloadType ? static_cast<uint32_t>(media::callRate(codec_))
                                   : lineRate_.load();
}

codecs::OpusSettings RtpSession::opusSendSettings() const {
  std::lock_guard lock(opusLock_);
  return opusSend_;
}

bool RtpSession::negotiatedType(uint8_t type) const {
  return type != kNoPayloadType &&
         (type == chosen_ || type == comfortNoise_ || type == dtmf_.telephoneEventType() ||
          type == g726_ || type == g726Aal2_ ||
          (isWideband(codec_) && type == codecs::codecInfo(codec_).payloadType));
}

void RtpSession::takeEvent(const RtpSlot& slot) {
  const std::optional<char> digit =
      dtmfIn_.take(slot.packet.header.timestamp, slot.payload(), slot.packet.payloadLength);
  if (digit && receivedDigit_) receivedDigit_(*digit);
}

bool RtpSession::admit(RtpSourceGuard& guard, const platform::SocketAddress& from,
                       const RtpSlot& slot, size_t length, uint32_t nowTick) {
  RtpPacketView view;
  const bool usable =
      readRtpPacket(slot.data.data(), length, view) && negotiatedType(view.header.payloadType);
  switch (guard.check(from, usable, nowTick)) {
    case RtpSourceGuard::Verdict::Take:
      return true;
    case RtpSourceGuard::Verdict::Ignore:
      return false;
    case RtpSourceGuard::Verdict::Stranger:
      break;
  }
  countStranger(from);
  return false;
}

void RtpSession::countStranger(const platform::SocketAddress& from) {
  if (strangerPackets_++ == 0) {
    base::logError("RTP: packets from a stranger dropped (" + from.toString() + ")");
  }
}

void RtpSession::start() {
  strangerPackets_ = 0;
  badRtcp_ = 0;
  Start(platform::kPriorityHighest);
  dtmf_.setPayloadTypes(dtmf_.telephoneEventType(), chosen_, g726_, g726Aal2_);
  dtmf_.clearQueue();
  dtmf_.Start(platform::kPriorityNormal);
}

void RtpSession::stop() {
  dtmf_.Stop();
  dtmf_.clearBusy();
  Stop();
  closeSocket();
  // Let go of the playback pipe so that its reader sees the end instead of waiting for
  // sound that will never come.
  std::lock_guard lock(playbackLock_);
  playbackWriter_.resetNull();
}

audio::SinkRef RtpSession::createCaptureSink(bool waitForClock) {
  if (waitForClock) {
    int32_t ahead = sendClockAhead();
    if (ahead > 20) sleepMs(static_cast<uint32_t>(std::min(ahead, 200) - 20));
  }
  audio::SinkRef sink(new RtpCaptureSink(*this));
  // The stream takes the line's highest rate (the intercom's spool holds that); a
  // narrowband codec gets it resampled.
  const uint32_t line = lineRate_;
  if (line > sink->rate()) return audio::MakeResamplingSink(line, sink);
  return sink;
}

audio::SourceRef RtpSession::attachPlayback() {
  audio::PipeRef pipe = audio::CreatePipe(callRate(), 1, audio::kProgramPeakRange);
  audio::SinkRef writer = audio::OpenWriter(pipe);
  {
    std::lock_guard lock(playbackLock_);
    playbackWriter_ = writer;
  }
  return audio::OpenReader(pipe);
}

void RtpSession::sendPacket(const uint8_t* bytes, size_t length) {
  const platform::SocketAddress to = destination();
  if (to.isUnspecified() || !sends(direction_)) return;
  uint8_t sealed[kRtpMaxDatagram + kSrtpMaxGrowth];
  const uint8_t* out = nullptr;
  size_t outLength = 0;
  if (!seal(bytes, length, sealed, out, outLength, false)) return;
  {
    std::shared_lock lock(socketLock_);
    if (!socket_.valid()) return;
    platform::sendTo(socket_.get(), out, outLength, to);
  }
  rtcp_.sent(length > kRtpHeaderSize ? length - kRtpHeaderSize : 0);
  uint32_t now = platform::tickMs();
  lastSendTick_ = now;
  sent_ = true;
  if (trace_.rtpTraceOn())
    trace_.traceRtpLine(rtpTraceLine(now, ">>>", to.toString(), bytes, length));
}

int32_t RtpSession::sendClockAhead() {
  std::lock_guard lock(pacingLock_);
  uint32_t now = platform::tickMs();
  uint32_t ts = timestamp();
  const auto perMs = static_cast<int32_t>(clockPerMs());
  if (platform::tickDiff(now, pacingBaseTick_) > 100000 &&
      static_cast<int32_t>(ts - pacingBaseTimestamp_) >= 100000 * perMs) {
    // Keeps the differences small; the result does not change.
    pacingBaseTick_ += 100000;
    pacingBaseTimestamp_ += static_cast<uint32_t>(100000 * perMs);
  }
  return static_cast<int32_t>(ts - pacingBaseTimestamp_) / perMs +
         platform::tickDiff(pacingBaseTick_, now);
}

void RtpSession::pace() {
  int32_t ahead = sendClockAhead();
  if (ahead > 240) {
    sleepMs(20);
  } else if (ahead < -20) {
    std::lock_guard lock(pacingLock_);
    pacingBaseTick_ = platform::tickMs();
    pacingBaseTimestamp_ = timestamp();
  }
}

// The clock of a capture that starts after a pause in sending (the switch to the call's
// microphone at answer, a device that takes a while to start) begins at the time of its first
// frame, not where the last packet left off: else the packets before the pause look early to
// the receiver, and it holds all that follow back by the pause.
// The frame about to go out began a frame before now. Before the first packet there is
// nothing to line up with.
void RtpSession::catchUpClock() {
  if (!sent_) return;
  const int32_t late = -sendClockAhead() - PlayoutClock::kFrameMs;
  if (late > 0) takeTimestamp(static_cast<uint32_t>(late) * clockPerMs());
}

void RtpSession::sendKeepAlive() {
  if (platform::tickDiff(platform::tickMs(), lastSendTick_) <= static_cast<int32_t>(kKeepAliveMs)) {
    return;
  }
  // Nothing would leave: do not move the clock for it.
  if (destination().isUnspecified() || !sends(direction_)) return;
  uint8_t packet[kRtpHeaderSize + 1];
  uint8_t cn = comfortNoise_;
  uint8_t type = cn != kNoPayloadType ? cn : chosen_.load();
  writeRtpHeader(packet, false, type, takeSequence(), takeTimestamp(5 * clockPerMs()), ssrc());
  packet[kRtpHeaderSize] = 0x3F;
  sendPacket(packet, cn != kNoPayloadType ? sizeof(packet) : kRtpHeaderSize);
}

void RtpSession::Run() {
  receiveReset_ = false;
  dtmfIn_.reset();
  ReorderBuffer buffer(platform::tickMs());
  Playback playback(*this);
  PlayoutClock clock(playback,
                     platform::tickMs() ^ static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this)),
                     callRate());
  playback.setRate(clock.rate());
  int fd = -1;
  int rtcpFd = -1;
  {
    std::shared_lock lock(socketLock_);
    fd = socket_.get();
    rtcpFd = rtcpSocket_.get();
  }
  // Datagrams that arrived between opening the port and now are kept: the socket is new for
  // each call, so they are the peer's first words, sent as soon as it had our answer.
  // The guard takes them only from the far end.
  RtpSourceGuard guard;
  RtpSourceGuard rtcpGuard;
  uint32_t rules = armGuards(guard, rtcpGuard, platform::tickMs());
  rtcp_.begin(platform::tickMs(), randomUnit());

  DtlsRun dtls;
  int32_t wait = 1000;
  while (true) {
    pickUpDtls(dtls);
    wait = std::min(
        {wait, static_cast<int32_t>(rtcp_.msUntilDue(platform::tickMs())), serviceDtls(dtls)});
    base::WaitResult result = waitForDatagram(fd, rtcpFd, wait);
    if (result == base::WaitResult::StopRequested) break;
    if (result == base::WaitResult::Signalled) {
      if (receiveReset_.exchange(false)) buffer.restartLock(platform::tickMs());
      // A far end at a new address (a re-INVITE, a transfer): its sender is found anew,
      // in the first seconds after its SDP came.
      if (rulesVersion_ != rules) rules = armGuards(guard, rtcpGuard, std::nullopt);
      readRtcpSocket(rtcpFd, rtcpGuard, guard);
      RtpSlot* slot = buffer.freeSlot();
      if (slot == nullptr) {
        stopEvent().wait(10);  // the datagram stays queued in the socket
      } else {
        platform::SocketAddress from;
        int length = platform::recvFromAddress(fd, slot->data.data(), slot->data.size(), &from);
        auto size = static_cast<size_t>(length);
        const bool rtcp = length >= 0 && isRtcpDatagram(slot->data.data(), size);
        // The first byte tells DTLS from RTP and RTCP on the one port (RFC 7983).
        const DatagramKind kind =
            length >= 0 ? classifyDatagram(slot->data.data(), size) : DatagramKind::Rtp;
        if (kind == DatagramKind::Stun) takePathOpener(dtls, from);
        if (kind == DatagramKind::Dtls) {
          takeDtls(dtls, from, slot->data.data(), size);
        } else if (length >= 0 && openReceived(slot->data.data(), size, rtcp, from)) {
          const uint32_t now = platform::tickMs();
          if (rtcp) {
            takeMuxedRtcp(guard, from, slot->data.data(), size, now);
          } else {
            if (trace_.rtpTraceOn() && size >= kRtpHeaderSize && (slot->data[0] & 0xC0) == 0x80) {
              trace_.traceRtpLine(
                  rtpTraceLine(now, "<<<", from.toString(), slot->data.data(), size));
            }
            // Nothing is played of a far end that said it does not send (a held call).
            if (admit(guard, from, *slot, size, now) && receives(direction_) &&
                buffer.store(*slot, size, now)) {
              const PlayoutTypes types = playoutTypes();
              clock.arrived(*slot, now, types);
              rtcp_.received(slot->packet.header, slot->packet.payloadLength,
                             arrivalClock() * (clockPerMs() / 8),
                             slot->packet.header.payloadType != types.telephoneEvent);
              if (slot->packet.header.payloadType == types.telephoneEvent) takeEvent(*slot);
            }
          }
        }
      }
    }
    const PlayoutTypes playing = playoutTypes();
    while (!stopRequested()) {
      const RtpSlot* head = buffer.head();
      if (head == nullptr) {
        wait = clock.idleFill();
        break;
      }
      if (head->packet.header.sequence == buffer.expectedSequence()) {
        clock.play(*head, false, playing);
        buffer.popHead();
        if (peerActive_ && guard.locked()) setDestination(*guard.locked());
      } else {
        int32_t gapWait = clock.gapWait();
        if (gapWait > 5) {
          wait = gapWait;
          break;
        }
        clock.play(*head, true, playing);
        buffer.popHead();
      }
    }
    sendKeepAlive();
    if (rtcp_.msUntilDue(platform::tickMs()) == 0) sendReport(rtcpGuard, false);
  }
  sendReport(rtcpGuard, true);
  if (unauthenticated_ > 0) {
    base::logInfo("SRTP: " + std::to_string(unauthenticated_.load()) +
                  " received packets failed authentication and were dropped");
  }
  logPlayout(clock);
  base::logInfo(callQuality().logLine());
}

// What the playout did in this call: the figures a delay measurement reads from the log.
void RtpSession::logPlayout(PlayoutClock& clock) {
  if (!clock.jitterReady()) return;
  base::logFormat(base::LogLevel::Info,
                  "Playout: jitter %d ms, target %d ms, delay %d ms, concealed %u ms, stretched "
                  "%u ms, shrunk %u ms, dropped %u packets",
                  clock.jitterMs(), clock.targetMs(), clock.delayMs(), clock.concealedSamples() / 8,
                  clock.stretchedSamples() / 8, clock.shrunkSamples() / 8, clock.droppedPackets());
}

// ---------------------------------------------------------------------------------------
// RtpCaptureSink

RtpCaptureSink::RtpCaptureSink(RtpSession& session)
    : AudioSink(session.callRate(), 1),
      session_(session),
      perMs_(rate() / 1000),
      frameSize_(perMs_ * frameMs_) {
  session_.captureAttached_ = true;
  codec_.reset();
  followCodec();
}

RtpCaptureSink::~RtpCaptureSink() {
  comfortNoiseStep(80);
  session_.captureAttached_ = false;
}

int32_t RtpCaptureSink::level(const int32_t* samples, size_t count) {
  int32_t high = 0, low = 0;
  for (size_t i = 0; i < count; ++i) {
    high = std::max(high, samples[i]);
    low = std::min(low, samples[i]);
  }
  return std::max(high, -low);
}

void RtpCaptureSink::Write(const int32_t* samples, uint32_t frames) {
  position_ += frames;
  const HoldSound hold = session_.holdSound_;
  if (hold == HoldSound::None) holdPosition_ = 0;
  for (uint32_t i = 0; i < frames; ++i) {
    // The hold sound is made at 8000 Hz.
    frame_[fill_++] =
        hold == HoldSound::None ? samples[i] : holdSample(hold, holdPosition_++ * 8 / perMs_);
    if (fill_ == frameSize_) processFrame();
  }
}

void RtpCaptureSink::followCodec() {
  const uint32_t version = session_.codecVersion();
  if (version == version_) return;
  version_ = version;
  codecId_ = session_.chosenCodec();
  frameMs_ = 20;
  wide_.reset();
  if (codecId_ == codecs::CodecId::kOpus) {
    const codecs::OpusSettings settings = session_.opusSendSettings();
    wide_ = codecs::OpusCodec::create(settings);
    if (!wide_)
      base::logError("Opus: the encoder could not be made: " + checkOpusSettings(settings));
    frameMs_ = static_cast<uint32_t>(settings.frameMs);
  } else if (codecId_ == codecs::CodecId::kG722) {
    wide_ = codecs::createAudioCodec(codecId_);
  }
  frameSize_ = perMs_ * frameMs_;
}

const int32_t* RtpCaptureSink::codecFrame() {
  const auto codecRate = static_cast<uint32_t>(callRate(codecId_));
  if (codecRate == rate()) return frame_.data();
  // The sink was made before the codec was chosen, at another rate.
  std::vector<int32_t> converted;
  convertRate(frame_.data(), frameSize_, rate(), codecRate, converted);
  converted.resize(frameMs_ * codecRate / 1000);
  std::copy(converted.begin(), converted.end(), coded_.begin());
  return coded_.data();
}

void RtpCaptureSink::processFrame() {
  fill_ = 0;
  // The call's first frames wait for its keys (a DTLS handshake after the answer) rather
  // than being lost: the far end hears the first word, and what is captured meanwhile
  // follows (an intercom's spool keeps it; its pauses are shortened later).
  while (!started_ && session_.firstKeysAwaited() && session_.running()) sleepMs(5);
  if (!started_) {
    started_ = true;
    session_.catchUpClock();
  }
  const size_t k = perMs_ / 8;  // sink samples per 8000 Hz sample
  if (session_.comfortNoise_ == kNoPayloadType) {
    sendVoice();
  } else if (talking_) {
    sendVoice();
    if (level(frame_.data(), frameSize_) < 4096) talking_ = false;
  } else if (level(frame_.data(), 80 * k) < 8193) {
    comfortNoiseStep(40);
    // Decide again 5 ms later.
    std::copy(frame_.begin() + static_cast<std::ptrdiff_t>(40 * k),
              frame_.begin() + static_cast<std::ptrdiff_t>(frameSize_), frame_.begin());
    fill_ = frameSize_ - 40 * k;
    return;
  } else {
    sendVoice();
    talking_ = true;
  }
  session_.pace();
  followCodec();
}

void RtpCaptureSink::sendVoice() {
  const uint32_t step = frameMs_ * session_.clockPerMs();
  if (session_.dtmf_.busy()) {
    session_.takeTimestamp(step);  // held back while a digit goes out
    return;
  }
  uint8_t type = session_.chosen_;
  uint8_t packet[kRtpHeaderSize + codecs::kOpusMaxPacketBytes];
  const int32_t* samples = codecFrame();
  size_t payload = 0;
  if (wide_) {
    const auto count =
        static_cast<int>(frameMs_ * static_cast<uint32_t>(callRate(codecId_)) / 1000);
    const int written = wide_->encode(samples, count, packet + kRtpHeaderSize);
    payload = written > 0 ? static_cast<size_t>(written) : 0;
  } else {
    payload = codec_.encodeFrame(type, session_.g726_, session_.g726Aal2_, samples,
                                 packet + kRtpHeaderSize);
  }
  if (payload == 0) return;
  writeRtpHeader(packet, markerPending_, type, session_.takeSequence(),
                 session_.takeTimestamp(step), session_.ssrc());
  session_.sendPacket(packet, kRtpHeaderSize + payload);
  markerPending_ = false;
}

void RtpCaptureSink::comfortNoiseStep(uint32_t samples) {
  const uint32_t units = samples * session_.clockPerMs() / 8;  // samples at 8000 Hz
  if (session_.dtmf_.busy()) {
    session_.takeTimestamp(units);
    session_.pace();
    return;
  }
  bool send = false;
  if (!markerPending_) {
    countdown_ = 640;
    markerPending_ = true;
    send = true;
  } else if (countdown_ < 1) {
    countdown_ += 8000;
    send = true;
  } else {
    countdown_ -= static_cast<int32_t>(samples);
  }
  if (send) {
    uint8_t cn = session_.comfortNoise_;
    uint8_t packet[kRtpHeaderSize + 1];
    uint8_t type = cn != kNoPayloadType ? cn : session_.chosen_.load();
    writeRtpHeader(packet, false, type, session_.takeSequence(), session_.takeTimestamp(units),
                   session_.ssrc());
    packet[kRtpHeaderSize] = 0x3F;
    session_.sendPacket(packet, cn != kNoPayloadType ? sizeof(packet) : kRtpHeaderSize);
  } else {
    session_.takeTimestamp(units);
  }
  session_.pace();
}

}  // namespace quillet::media
