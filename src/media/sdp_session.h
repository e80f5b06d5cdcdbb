// SPDX-License-Identifier: Apache-2.0
// SdpSession and RemoteSdp: the SDP this system offers and answers, the reading of the
// peer's SDP and the choice of codecs and payload types for a call.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "codecs/audio_codec.h"
#include "codecs/opus_fmtp.h"
#include "media/codec_choice.h"
#include "media/sdes_crypto.h"

namespace quillet::base {
class TextBuilder;
}

namespace quillet::media {

constexpr uint8_t kNoPayloadType = 255;
constexpr size_t kSdpTextLimit = 259;  // characters kept of addresses and values

// The direction of the audio stream as one side states it ("a=sendrecv", "a=sendonly",
// "a=recvonly", "a=inactive"): what that side sends and what it takes.
enum class MediaDirection : uint8_t { SendRecv, SendOnly, RecvOnly, Inactive };

constexpr bool sends(MediaDirection d) {
  return d == MediaDirection::SendRecv || d == MediaDirection::SendOnly;
}
constexpr bool receives(MediaDirection d) {
  return d == MediaDirection::SendRecv || d == MediaDirection::RecvOnly;
}
MediaDirection directionOf(bool sending, bool receiving);
// The attribute's name ("sendrecv", ...).
const char* directionName(MediaDirection d);
// The direction an answer states to an offer of `offered` when this side would do `wanted`
// (a held side wants SendOnly): it sends only what the offerer takes and takes only what
// the offerer sends. Also what this side does after its offer of `wanted` was answered
// with `offered`.
MediaDirection answerDirection(MediaDirection offered, MediaDirection wanted);

// The peer's description, read afresh from every received body.
struct RemoteSdp {
  std::string connectionAddress;
  uint16_t audioPort = 0;
  std::string formatList;  // payload numbers after the transport token of "m=audio"
  bool directionActive = false;
  // The audio stream's direction (its own attribute, else the session's); a connection
  // address of 0.0.0.0 (the old way to hold a call) takes nothing, whatever it says.
  MediaDirection direction = MediaDirection::SendRecv;
  bool sendOnly = false;  // direction is SendOnly
  std::string localAddress;
  uint16_t localPort = 0;
  std::string domain;
  std::vector<std::pair<uint8_t, std::string>> rtpmap;
  // The audio stream's "a=rtpmap" lines in full: name, clock rate and channels (0: not given).
  struct Rtpmap {
    uint8_t type = 0;
    std::string name;
    uint32_t clockRate = 0;
    uint32_t channels = 0;
  };
  std::vector<Rtpmap> rtpmapDetails;
  // "a=fmtp" parameters by payload type, and "a=ptime" (0: not given).
  std::vector<std::pair<uint8_t, std::string>> fmtp;
  uint32_t ptimeMs = 0;
  // Every "m=" line as an answer that rejects it writes it, in order, and which of them is
  // the audio stream in use (-1: none).
  std::vector<std::string> mediaLines;
  int32_t audioIndex = -1;
  // The audio stream's "a=rtcp-mux" (RFC 5761) and "a=rtcp" port (RFC 3605, 0: not given).
  bool rtcpMux = false;
  uint16_t rtcpPort = 0;
  // The audio stream's transport ("RTP/AVP", "RTP/SAVP", ...) and the keys its "a=crypto"
  // lines offer that this side can use, in their order.
  std::string transport;
  std::vector<SdesCrypto> crypto;
  // The SHA-256 "a=fingerprint" (upper-case hex pairs) and "a=setup" (lower case) of DTLS.
  std::string fingerprint = {};
  std::string setup;

  // Reads a body; what cannot be read is ignored.
  static RemoteSdp parse(std::string_view body);

  // The payload type mapped to `encoding` (case-insensitive, the last mapping wins), or
  // `fallback` when the name is not mapped.
  uint8_t lookup(std::string_view encoding, uint8_t fallback) const;
  // The same for a name at a clock rate.
  uint8_t lookup(std::string_view encoding, uint32_t clockRate, uint8_t fallback) const;
  // The last mapping of a payload type, or null.
  const Rtpmap* mapping(uint8_t type) const;
  // The fmtp parameters of a payload type (empty when none).
  std::string fmtpOf(uint8_t type) const;
};

// A line's MediaEncryption: none, SDES-SRTP, DTLS-SRTP or what the signalling allows.
enum class EncryptionMode : uint8_t { Off, Sdes, Dtls, Auto };

// Reads "off", "sdes", "dtls" or "auto" (any case); nothing for another text.
std::optional<EncryptionMode> encryptionModeFromName(std::string_view name);

// The settings the SDP depends on (section "SIP").
struct SdpSettings {
  int32_t quality = 50;  // below 50 the low-bandwidth codecs come first
  bool active = false;   // ask the peer to latch onto our RTP ("a=direction:active")
  // The peer packs "G726-32" high nibble first (the AAL2 order), as some phones do against
  // RFC 3551: its "G726-32" is then sent and read in that order.
  bool g726Aal2Packing = false;
  // SDES-SRTP: keys are offered and taken ("a=crypto"). Only over encrypted signalling.
  bool sdes = false;
  // A call whose media would not be encrypted is refused (MediaEncryptionRequired).
  bool encryptionRequired = false;
  // DTLS-SRTP: offered and taken with this certificate fingerprint (SHA-256).
  bool dtls = false;
  std::string fingerprint = {};
  // The line's voice codecs in the order offered ("Codecs"); empty: the default order by
  // quality.
  std::vector<codecs::CodecId> codecs = {};
};

// The DTLS handshake an SDP exchange agreed on: who sends the first flight, and the far
// end's certificate fingerprint.
struct DtlsSetup {
  bool client = false;
  std::string remoteFingerprint;
  bool operator==(const DtlsSetup&) const = default;
};

// Why the last offer or answer of the far end could not be taken.
enum class SdpRefusal : uint8_t {
  None,
  NoCodec,              // no voice codec in common
  NotEncrypted,         // the media would be plain and the line requires encryption
  NoKeys,               // encrypted media offered, but no key this side can take
  UnsupportedTransport  // only transports this side cannot do
};

// The keys of an encrypted call's media: ours (for what we send) and the far end's.
struct SrtpKeys {
  SrtpSuite suite = SrtpSuite::AesCm128HmacSha1_80;
  std::vector<uint8_t> local;
  std::vector<uint8_t> remote;
  bool operator==(const SrtpKeys&) const = default;
};

class SdpSession {
 public:
  SdpSession();

  // Starts the next offer or answer: version + 1, negotiated values cleared.
  void prepare(const std::string& publicAddress, uint16_t publicPort,
               const std::string& privateAddress, uint16_t privatePort);

  // Notes `direction` as what this side offers to do until the answer comes.
  std::string makeOffer(MediaDirection direction);
  // The offer of a session that was never prepared: empty addresses, port 0.
  static std::string makeCapabilityOffer(const SdpSettings& settings);

  // Reads a peer offer, negotiates and writes the answer, whose direction follows the
  // offer's and `wanted` (answerDirection). False when no payload type of the peer's list
  // can be answered.
  bool takeOffer(std::string_view body, MediaDirection wanted, std::string& answer);
  // Reads the peer's answer to our offer; only the negotiated values count.
  bool takeAnswer(std::string_view body);

  void setSettings(const SdpSettings& settings) { settings_ = settings; }
  // New keys of our own for every suite (a new call).
  void renewKeys();
  // Decides whether a remote address (dotted quad or host name) is a private one; the
  // default resolves the name and asks the local network facts.
  void setPrivateAddressTest(std::function<bool(const std::string&)> test) {
    isPrivate_ = std::move(test);
  }

  uint32_t sessionId() const { return sessionId_; }
  uint32_t sessionVersion() const { return sessionVersion_; }
  const std::string& remoteAddress() const { return remoteAddress_; }
  uint16_t remotePort() const { return remotePort_; }
  bool peerActive() const { return peerActive_; }
  bool peerSendOnly() const { return peerDirection_ == MediaDirection::SendOnly; }
  // What the far end's last offer or answer stated (0.0.0.0 counted as taking nothing).
  MediaDirection peerDirection() const { return peerDirection_; }
  // What this side does after the last exchange: send when it includes sending, play
  // what comes when it includes receiving.
  MediaDirection direction() const { return direction_; }
  uint8_t chosenPayloadType() const { return chosen_; }
  // The codec of the chosen payload type, and the far end's Opus parameters when it is Opus.
  codecs::CodecId chosenCodec() const { return chosenCodec_; }
  const codecs::OpusFmtp& peerOpus() const { return peerOpus_; }
  // The codecs this side offers and takes, in order.
  std::vector<codecs::CodecId> codecOrder() const;
  uint8_t comfortNoisePayloadType() const { return comfortNoise_; }
  uint8_t telephoneEventPayloadType() const { return telephoneEvent_; }
  uint8_t g726PayloadType() const { return g726_; }          // "G726-32"
  uint8_t g726Aal2PayloadType() const { return g726Aal2_; }  // "AAL2-G726-32"
  // RTCP goes over the RTP port: offered by us and the far end answered with it, or the far
  // end offered it and our answer took it.
  bool rtcpMux() const { return rtcpMux_; }
  // The far end's RTCP port when its SDP names one (else 0: its RTP port + 1).
  uint16_t remoteRtcpPort() const { return remoteRtcpPort_; }
  // The negotiated SRTP keys; nothing when the media is plain.
  const std::optional<SrtpKeys>& srtpKeys() const { return srtpKeys_; }
  // The DTLS handshake agreed on; nothing when the keys (if any) came in the SDP.
  const std::optional<DtlsSetup>& dtls() const { return dtls_; }
  // Whether our last offer carried keys (its answer is awaited or was taken).
  bool offeredKeys() const { return !offeredCrypto_.empty() || offeredDtls_; }
  SdpRefusal refusal() const { return refusal_; }

  // The process-wide session id counter (starts at the local calendar time in seconds).
  static uint32_t nextSessionId();

 private:
  struct Layout {
    bool usePrivate = false;     // connection line carries the private address and port
    bool allowDirection = true;  // "a=direction:active" may be written
    bool allowLocal = true;      // "a=local" and "a=domain" may be written
    bool rtcpMux = true;         // "a=rtcp-mux": RTCP on the RTP port
    std::string transport = "RTP/AVP";
    std::vector<SdesCrypto> crypto;  // our "a=crypto" lines
    std::string setup;               // our "a=setup" (with our fingerprint); empty: none
  };
  std::string describe(const std::string& payloadText, MediaDirection direction,
                       const Layout& layout) const;
  bool negotiate(std::string_view body, MediaDirection wanted, std::string& answer, bool answering);
  // Opus or G.722 chosen: first in the answer's list, with Opus's parameters read and ours
  // written.
  void takeWideband(const RemoteSdp& remote, const CodecPick& pick, base::TextBuilder& list,
                    base::TextBuilder& maps);
  // The media security of the far end's offer (answering) or answer: the keys, our answer's
  // transport and key. False with refusal_ set (and logged) when the call cannot go on.
  bool chooseSecurity(const RemoteSdp& remote, bool answering, Layout& layout);
  bool refuse(SdpRefusal why, const std::string& logLine);
  // The answer with the offer's other media sections refused (port 0) in their places.
  static std::string withRejectedStreams(std::string answer, const RemoteSdp& remote);

  uint32_t sessionId_;
  uint32_t sessionVersion_;
  std::string publicAddress_;
  uint16_t publicPort_ = 0;
  std::string privateAddress_;
  uint16_t privatePort_ = 0;
  std::string remoteAddress_;
  uint16_t remotePort_ = 0;
  bool peerActive_ = false;
  MediaDirection peerDirection_ = MediaDirection::SendRecv;
  MediaDirection direction_ = MediaDirection::SendRecv;
  MediaDirection offered_ = MediaDirection::SendRecv;  // our last offer's
  bool rtcpMux_ = false;
  uint16_t remoteRtcpPort_ = 0;
  uint8_t chosen_ = kNoPayloadType;
  codecs::CodecId chosenCodec_ = codecs::CodecId::kPcmu;
  codecs::OpusFmtp peerOpus_;
  uint8_t comfortNoise_ = kNoPayloadType;
  uint8_t telephoneEvent_ = kNoPayloadType;
  uint8_t g726_ = kNoPayloadType;
  uint8_t g726Aal2_ = kNoPayloadType;
  bool g726NamedPlain_ = false;            // g726Aal2_ is the peer's "G726-32" (g726Aal2Packing)
  std::vector<SdesCrypto> ownKeys_;        // one per suite, this call's
  std::vector<SdesCrypto> offeredCrypto_;  // what our last offer carried
  std::optional<SrtpKeys> srtpKeys_;
  bool offeredDtls_ = false;
  std::optional<DtlsSetup> dtls_;
  SdpRefusal refusal_ = SdpRefusal::None;
  SdpSettings settings_;
  std::function<bool(const std::string&)> isPrivate_;
};

// Cuts a UTF-8 text to `limit` code points without splitting a sequence.
std::string cutText(std::string_view text, size_t limit);

}  // namespace quillet::media
