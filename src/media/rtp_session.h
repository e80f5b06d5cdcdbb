// SPDX-License-Identifier: Apache-2.0
// RtpSession: the network side of a line's voice path. It owns the RTP socket and port
// (and the RTCP one beside it), the SdpSession, the DtmfSender and the receive thread that
// feeds playback and sends and reads RTCP; its RtpCaptureSink turns captured audio into RTP.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "audio/audio_pipe.h"
#include "audio/audio_stream.h"
#include "base/settings_store.h"
#include "base/worker_thread.h"
#include "codecs/opus_codec.h"
#include "media/dtls_session.h"
#include "media/dtmf_receiver.h"
#include "media/dtmf_sender.h"
#include "media/hold_sound.h"
#include "media/rtcp_reporter.h"
#include "media/rtp_source_guard.h"
#include "media/rtp_stream.h"
#include "media/rtp_trace.h"
#include "media/sdp_session.h"
#include "media/srtp_context.h"
#include "media/voice_codec.h"
#include "net/public_address.h"
#include "platform/socket.h"

namespace quillet::media {

class PlayoutClock;
struct PlayoutTypes;
struct RtpSlot;

// The settings an RTP session follows (section "SIP").
struct RtpSettings {
  int32_t portBase = 8000;        // "RTPPortBase": first local port tried
  int32_t staticPortBase = 8000;  // "STATICRTPPortBase"
  net::NatSettings nat;
  SdpSettings sdp;
  // How long after the far end's SDP a sender it does not name may still be latched onto.
  // Not a setting: tools that take whoever sends, however late, widen it.
  uint32_t latchWindowMs = RtpSourceGuard::kLatchWindowMs;

  static RtpSettings load(base::SettingsStore& store);
};

class RtpCaptureSink;

class RtpSession : public base::WorkerThread, public RtpStream {
 public:
  static constexpr uint32_t kKeepAliveMs = 55000;  // a datagram at least this often
  static constexpr uint8_t kTypeOfService = 0xB8;  // Expedited Forwarding

  // Settings are read from the store at every port opening and SDP exchange.
  explicit RtpSession(base::SettingsStore& store, RtpTrace& trace = noRtpTrace());
  // Fixed settings (tools and tests).
  explicit RtpSession(const RtpSettings& settings, RtpTrace& trace = noRtpTrace());
  ~RtpSession() override;

  // Opens the socket (both families) on the first free even port from the port base (with
  // the RTCP socket on the odd port above it; a port whose neighbour is taken is passed), finds
  // its public address and starts a new stream (random SSRC, sequence number and timestamp);
  // `stop` (the calling worker's stop event, may be null) cancels the probes and `towards`
  // (the far end, empty: unknown) picks the local address and its family. IPv6 has no NAT:
  // its address is its own, without probes. Without a resolver the settings' resolution is
  // used.
  void openPort(platform::Event* stop = nullptr, const platform::SocketAddress& towards = {},
                net::PublicAddressResolver* resolver = nullptr);

  std::string makeOffer(MediaDirection direction);
  // An empty body is success with nothing changed (answer left empty).
  bool takeOffer(std::string_view body, MediaDirection wanted, std::string& answer);
  bool takeAnswer(std::string_view body);

  void start();
  void stop();

  // A sink that frames, encodes and sends what is written into it. With waitForClock it
  // first waits until the send clock is no more than 20 ms ahead.
  audio::SinkRef createCaptureSink(bool waitForClock);
  // A new pipe for received audio: its writer end takes decoded audio from now on, its
  // reader end is returned for playback.
  audio::SourceRef attachPlayback();

  void sendPacket(const uint8_t* bytes, size_t length) override;
  // Nothing has gone out yet and the keys for it are still on their way (our offer's
  // answer, a DTLS handshake).
  bool firstKeysAwaited();
  void sendDigits(std::string_view digits) { dtmf_.sendDigits(digits); }
  void setDigitsListener(std::function<void()> listener) { dtmf_.setListener(std::move(listener)); }
  // Digits the far end sends as telephone events go to `listener` (on the receive thread).
  // Set before the session starts.
  void setReceivedDigitsListener(std::function<void(char)> listener) {
    receivedDigit_ = std::move(listener);
  }
  // True while digits wait or are being sent.
  bool digitsPending() const { return dtmf_.queued() > 0 || dtmf_.busy(); }

  // Tests and tools: the address advertised as ours (default: the host's local address).
  void setPrivateAddress(std::string address) { privateOverride_ = std::move(address); }
  // The line's peers pack "G726-32" the AAL2 way (set before the first call).
  void setG726Aal2Packing(bool on) { g726Aal2Packing_ = on; }
  // The line's media encryption (set before the first call).
  void setEncryption(EncryptionMode mode, bool required);
  // The profile's DTLS certificate (set before the first call; null: no DTLS-SRTP).
  void setDtlsIdentity(std::shared_ptr<const DtlsIdentity> identity);
  // Called (on the receive thread) when the call's media cannot be encrypted after all: the
  // DTLS handshake failed or took too long, or the far end's certificate is not the one its
  // SDP named. The call should end.
  void setFailureListener(std::function<void()> listener) {
    failureListener_ = std::move(listener);
  }
  // Whether this call's signalling is encrypted (set before its first SDP): SDES keys go and
  // come only over encrypted signalling.
  void setSignallingSecure(bool secure) { signallingSecure_ = secure; }
  // The call's media encryption as the log and the window name it
  // ("SRTP AES_CM_128_HMAC_SHA1_80 (SDES)"); empty while the media is plain.
  std::string encryption() const;
  // Received packets of this call dropped because they failed SRTP or SRTCP authentication
  // (a wrong key, a replay, a cut tag).
  uint32_t unauthenticatedPackets() const { return unauthenticated_; }

  const std::string& privateAddress() const { return privateAddress_; }
  uint16_t privatePort() const { return privatePort_; }
  const std::string& publicAddress() const { return publicAddress_; }
  uint16_t publicPort() const { return publicPort_; }
  bool socketOpen() const { return socket_.valid(); }
  int socketHandle() const { return socket_.get(); }
  bool rtcpSocketOpen() const { return rtcpSocket_.valid(); }
  // RTCP shares the RTP port (both SDPs said "a=rtcp-mux").
  bool rtcpMux() const { return rtcpMux_; }
  // The figures of the call (so far, or of the last one once it ended).
  CallQuality callQuality() const {
    // The reporter counts jitter in timestamp units; its ms figure assumes 8 a ms.
    CallQuality quality = rtcp_.quality();
    quality.jitterMs = quality.jitterMs * 8 / clockPerMs();
    return quality;
  }
  uint8_t chosenPayloadType() const { return chosen_; }
  // The negotiated codec (meaningful once a payload type is chosen).
  codecs::CodecId chosenCodec() const { return codec_; }
  // The audio rate of the call's streams (capture sink, playback): the chosen codec's call
  // rate, or before the SDP exchange the highest of the line's codecs.
  uint32_t callRate() const;
  // RTP timestamp units per ms of the chosen codec (8, or 48 for Opus).
  uint32_t clockPerMs() const { return codec_ == codecs::CodecId::kOpus ? 48 : 8; }
  // The Opus encoder settings for what the far end takes.
  codecs::OpusSettings opusSendSettings() const;
  // Bumped at every SDP exchange: capture sinks check for a new codec.
  uint32_t codecVersion() const { return codecVersion_; }
  // The line's codec order ("Codecs"; empty: the default by quality). Set before a call.
  void setCodecs(std::vector<codecs::CodecId> order) { codecs_ = std::move(order); }
  // The bit rate Opus is sent at, before the far end's maxaveragebitrate (6000 .. 510000).
  void setOpusBitRate(int bitRate) { opusBitRate_ = bitRate; }
  uint8_t comfortNoisePayloadType() const { return comfortNoise_; }
  uint8_t telephoneEventPayloadType() const { return dtmf_.telephoneEventType(); }
  uint8_t g726PayloadType() const { return g726_; }
  uint8_t g726Aal2PayloadType() const { return g726Aal2_; }
  bool peerActive() const { return peerActive_; }
  bool peerSendOnly() const { return peerDirection_ == MediaDirection::SendOnly; }
  // What the far end's last SDP stated, and what this side does after it: RTP goes out only
  // while it includes sending, and what comes is played only while it includes receiving
  // (RTCP goes on either way).
  MediaDirection peerDirection() const { return peerDirection_; }
  MediaDirection direction() const { return direction_; }
  // While the call is held here, what goes out instead of what the capture sink is given.
  void setHoldSound(HoldSound sound) { holdSound_ = sound; }
  platform::SocketAddress destination() const;
  // Datagrams of this call dropped because they came from somebody other than the far end
  // (see RtpSourceGuard).
  uint32_t strangerPackets() const { return strangerPackets_; }
  bool captureAttached() const { return captureAttached_; }
  SdpSession& sdp() { return sdp_; }

 protected:
  void Run() override;

 private:
  friend class RtpCaptureSink;
  class Playback;

  static void logPlayout(PlayoutClock& clock);
  RtpSettings currentSettings();
  void copyNegotiated();
  // The line's encryption settings for the SDP of this call.
  void encryptionSettings(SdpSettings& sdp);
  // Contexts for the keys (none: plain); logs when the call's media encryption changed.
  // Under srtpLock_.
  void installKeys(const std::optional<SrtpKeys>& keys);
  void logEncryption();
  // The receive thread's DTLS handshake.
  struct DtlsRun {
    std::shared_ptr<DtlsSession> session;
    uint32_t startTick = 0;
    bool settled = false;          // done or failed, and acted upon
    platform::SocketAddress peer;  // where its datagrams came from (empty: none yet)
    uint32_t openedTick = 0;       // when the path to the far end was last opened
    // Datagrams that came before the SDP said which handshake (the far end's first flight
    // races its answer): kept for it, a few at most, rather than waiting for a resend.
    std::vector<std::pair<platform::SocketAddress, std::vector<uint8_t>>> early;
    DtlsSession::Datagrams lastFlight;  // this side's last flight, for a path found later
  };
  static constexpr size_t kEarlyDtlsMost = 4;
  void pickUpDtls(DtlsRun& run);  // a handshake the SDP asked for, started
  // A DTLS datagram from `from`: the handshake answers where it came from (a far end may
  // send from another address than its SDP names; its certificate is what is checked).
  void takeDtls(DtlsRun& run, const platform::SocketAddress& from, const uint8_t* data,
                size_t length);
  // Resends and the time limit; answers ms until it is due again.
  int32_t serviceDtls(DtlsRun& run);
  // The server side of a handshake sends first too: a STUN binding indication, which a NAT in
  // front of it takes as the way out, so that the far end's first flight can come in.
  void openPathForDtls(DtlsRun& run);
  // A STUN message from `from`: when that is the far end's host but another port than its SDP
  // names, while this side's first flight has had no answer, a NAT in front of the far end
  // gave its packets another port (our flight, there before any of its packets, had taken
  // the one it named). The handshake goes where the far end's packets come from.
  void takePathOpener(DtlsRun& run, const platform::SocketAddress& from);
  void settleDtls(DtlsRun& run);
  // After the handshake: media goes where the far end proved itself to be (its certificate
  // checked against the SDP's fingerprint) when that is not where its SDP points.
  void followDtlsPeer(const platform::SocketAddress& peer);
  // `address` (from the SDP), or the far end that the same handshake found elsewhere.
  platform::SocketAddress followedAddress(const platform::SocketAddress& address) const;
  void forgetDtlsPeer();  // a new handshake (or none) starts over from the SDP
  void sendDtls(DtlsRun& run, const DtlsSession::Datagrams& datagrams);
  void dtlsFailed(const std::string& why);
  // Sets up the SRTP contexts of the negotiated keys (kept when the keys did not change) and
  // logs the call's media encryption when it changed.
  void applyKeys();
  // A packet as it goes out: `bytes` itself while the media is plain, else protected into
  // `buffer` (capacity kRtpMaxDatagram + kSrtpMaxGrowth). False: nothing may go out.
  bool seal(const uint8_t* bytes, size_t length, uint8_t* buffer, const uint8_t*& out,
            size_t& outLength, bool rtcp);
  // A received datagram checked and decrypted in place while the media is encrypted. False:
  // it is dropped (counted and logged once when it failed authentication).
  bool openReceived(uint8_t* data, size_t& length, bool rtcp, const platform::SocketAddress& from);
  void afterNegotiation();
  void setDestination(const platform::SocketAddress& address);
  // The far end as its SDP names it (RTP, and RTCP when not on the RTP port); a change
  // re-arms the receive thread's source guards.
  void setSignalled(const platform::SocketAddress& address,
                    const platform::SocketAddress& rtcpAddress, bool latch);
  // Arms the guards (RTP, and RTCP on its own port) with the current far end, their window
  // open from `since` (default: when its SDP came); answers the version of the rules taken.
  uint32_t armGuards(RtpSourceGuard& guard, RtpSourceGuard& rtcpGuard,
                     std::optional<uint32_t> since);
  bool negotiatedType(uint8_t type) const;
  PlayoutTypes playoutTypes() const;
  // A received telephone-event packet: its digit, when it begins one, to the listener.
  void takeEvent(const RtpSlot& slot);
  // Whether a received datagram may go on to the receive buffer; counts and logs strangers.
  bool admit(RtpSourceGuard& guard, const platform::SocketAddress& from, const RtpSlot& slot,
             size_t length, uint32_t nowTick);
  void sendKeepAlive();
  // Waits for a datagram on either socket, the stop event or the time-out.
  base::WaitResult waitForDatagram(int rtpFd, int rtcpFd, int32_t timeoutMs);
  // A datagram on the RTP port that is RTCP: read when it is from the far end.
  void takeMuxedRtcp(RtpSourceGuard& guard, const platform::SocketAddress& from,
                     const uint8_t* data, size_t length, uint32_t nowTick);
  // One datagram waiting on the RTCP socket, if any: read when it is from the far end.
  void readRtcpSocket(int fd, RtpSourceGuard& rtcpGuard, const RtpSourceGuard& guard);
  // An RTCP datagram as the source rules judged it: read when taken, counted when a
  // stranger's.
  void takeRtcp(RtpSourceGuard::Verdict verdict, const platform::SocketAddress& from,
                const uint8_t* data, size_t length, uint32_t nowTick);
  // Counts and logs (once a call) a datagram from somebody other than the far end.
  void countStranger(const platform::SocketAddress& from);
  // Sends our report now (with BYE at the end of the call) to the far end's RTCP address.
  void sendReport(const RtpSourceGuard& rtcpGuard, bool bye);
  platform::SocketAddress rtcpDestination(const RtpSourceGuard& rtcpGuard);
  // Send clock: ms that the sent timestamps run ahead of real time.
  int32_t sendClockAhead();
  void pace();
  void catchUpClock();
  void closeSocket();

  base::SettingsStore* store_ = nullptr;
  RtpSettings fixedSettings_;
  bool g726Aal2Packing_ = false;
  std::vector<codecs::CodecId> codecs_;
  int opusBitRate_ = codecs::kOpusDefaultBitRate;
  std::atomic<uint32_t> lineRate_{8000};
  EncryptionMode encryptionMode_ = EncryptionMode::Off;
  bool encryptionRequired_ = false;
  std::atomic<bool> signallingSecure_{false};
  bool plainSignallingLogged_ = false;  // this call's note that SDES waits for TLS
  RtpTrace& trace_;
  DtmfSender dtmf_;
  DtmfReceiver dtmfIn_;  // receive thread
  std::function<void(char)> receivedDigit_;
  SdpSession sdp_;

  // The socket is replaced only while no thread runs; senders hold it shared.
  mutable std::shared_mutex socketLock_;
  platform::UniqueFd socket_;
  platform::UniqueFd rtcpSocket_;  // none when port + 1 could not be had
  std::string privateOverride_;
  std::string privateAddress_;
  uint16_t privatePort_ = 0;
  std::string publicAddress_;
  uint16_t publicPort_ = 0;

  std::atomic<uint8_t> chosen_{kNoPayloadType};
  std::atomic<codecs::CodecId> codec_{codecs::CodecId::kPcmu};
  std::atomic<uint32_t> codecVersion_{0};
  mutable std::mutex opusLock_;
  codecs::OpusSettings opusSend_;  // guarded by opusLock_
  std::atomic<uint8_t> comfortNoise_{kNoPayloadType};
  std::atomic<uint8_t> g726_{kNoPayloadType};
  std::atomic<uint8_t> g726Aal2_{kNoPayloadType};
  mutable std::mutex destinationLock_;
  platform::SocketAddress destination_;  // guarded by destinationLock_; empty: nobody
  // The SDP's address and where the handshake found the far end instead (followDtlsPeer),
  // until a new handshake; guarded by destinationLock_.
  std::optional<std::pair<platform::SocketAddress, platform::SocketAddress>> dtlsFollowed_;
  std::atomic<bool> peerActive_{false};
  std::atomic<MediaDirection> peerDirection_{MediaDirection::SendRecv};
  std::atomic<MediaDirection> direction_{MediaDirection::SendRecv};
  std::atomic<HoldSound> holdSound_{HoldSound::None};
  std::atomic<uint32_t> lastSendTick_;
  std::atomic<bool> sent_{false};  // a packet has gone out
  std::atomic<bool> receiveReset_{false};
  std::atomic<bool> captureAttached_{false};
  std::atomic<uint32_t> strangerPackets_{0};
  std::atomic<bool> rtcpMux_{false};
  std::atomic<uint32_t> badRtcp_{0};
  RtcpReporter rtcp_;

  // SRTP: replaced by the SDP exchange while the threads run; senders and the receive thread
  // take the contexts under the lock and use them outside it.
  mutable std::mutex srtpLock_;
  std::optional<SrtpKeys> activeKeys_;        // guarded by srtpLock_
  std::shared_ptr<SrtpContext> srtpSend_;     // guarded by srtpLock_
  std::shared_ptr<SrtpContext> srtpReceive_;  // guarded by srtpLock_
  std::string loggedEncryption_;              // guarded by srtpLock_: what the log last said
  bool negotiated_ = false;                   // guarded by srtpLock_: the call's media was agreed
  bool keysPending_ = false;             // guarded by srtpLock_: our offer's keys await the answer
  std::optional<DtlsSetup> activeDtls_;  // guarded by srtpLock_
  std::shared_ptr<DtlsSession> pendingDtls_;  // guarded by srtpLock_: for the receive thread
  bool dtlsWaiting_ = false;                  // guarded by srtpLock_: the handshake is not done
  std::shared_ptr<const DtlsIdentity> dtlsIdentity_;
  std::function<void()> failureListener_;
  std::atomic<uint32_t> unauthenticated_{0};

  // The far end as signalled, for the source guard of the receive thread.
  std::mutex signalledLock_;
  platform::SocketAddress signalled_;      // guarded by signalledLock_
  platform::SocketAddress signalledRtcp_;  // guarded by signalledLock_
  bool latchSource_ = false;               // guarded by signalledLock_
  uint32_t signalledTick_ = 0;             // guarded by signalledLock_: when it last changed
  std::atomic<uint32_t> rulesVersion_{0};

  // Send clock: paced by the capture thread and by whichever thread ends a capture sink
  // (its last comfort-noise step), so it is kept under its own lock.
  std::mutex pacingLock_;
  uint32_t pacingBaseTick_;       // guarded by pacingLock_
  uint32_t pacingBaseTimestamp_;  // guarded by pacingLock_

  std::mutex playbackLock_;
  audio::SinkRef playbackWriter_;
};

// The sink at the end of the capture chain during a call: 20 ms frames at the call's rate
// (10 ms when an Opus receiver asks for them), encoded with the negotiated codec and sent, or
// comfort noise while the user is quiet. While the call is held here the hold sound takes the place
// of what it is given.
class RtpCaptureSink : public audio::AudioSink {
 public:
  explicit RtpCaptureSink(RtpSession& session);
  ~RtpCaptureSink() override;

  void Write(const int32_t* samples, uint32_t frames) override;

  // One silence step of n samples (comfort noise, or only the clock while digits go out).
  void comfortNoiseStep(uint32_t samples);
  bool talking() const { return talking_; }

 private:
  void processFrame();
  void sendVoice();
  // The encoder of the negotiated codec, anew after an SDP exchange that changed it.
  void followCodec();
  // The frame at the codec's rate (the sink's when they agree) in `coded`.
  const int32_t* codecFrame();
  static int32_t level(const int32_t* samples, size_t count);

  RtpSession& session_;
  const uint32_t perMs_;  // the sink's samples per ms
  VoiceCodec codec_;
  std::unique_ptr<codecs::AudioCodec> wide_;  // Opus or G.722
  uint32_t version_ = UINT32_MAX;
  codecs::CodecId codecId_ = codecs::CodecId::kPcmu;
  uint32_t frameMs_ = 20;
  size_t frameSize_;
  bool markerPending_ = true;  // also "in silence"
  int32_t countdown_ = 0;
  bool talking_ = false;
  bool started_ = false;  // this capture has sent its first frame
  std::array<int32_t, 960> frame_{};
  std::array<int32_t, 960> coded_{};
  size_t fill_ = 0;
  uint64_t holdPosition_ = 0;  // samples of the hold sound sent so far
};

}  // namespace quillet::media
