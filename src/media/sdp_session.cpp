// SPDX-License-Identifier: Apache-2.0
// SdpSession and RemoteSdp: SDP text, peer body reading and codec negotiation.
#include "media/sdp_session.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <utility>

#include "base/log.h"
#include "base/net_facts.h"
#include "base/text_builder.h"
#include "media/codec_choice.h"

namespace quillet::media {

namespace {

constexpr const char* kTemplate =
    "v=0\r\no=Brindlemark-Quillet %d %d IN %s %s\r\ns=Quillet Call\r\nc=IN %s %s\r\nt=0 "
    "0\r\nm=audio %d %s%sa=%s\r\n";

// The media transports: plain RTP, SRTP keyed in the SDP, SRTP keyed by DTLS, or another.
enum class Profile { Plain, Secure, Dtls, Other };

Profile profileOf(std::string_view transport) {
  if (transport == "RTP/AVP" || transport == "RTP/AVPF") return Profile::Plain;
  if (transport == "RTP/SAVP" || transport == "RTP/SAVPF") return Profile::Secure;
  if (transport == "UDP/TLS/RTP/SAVP" || transport == "UDP/TLS/RTP/SAVPF") return Profile::Dtls;
  return Profile::Other;
}

// "IP6" for an IPv6 address, else "IP4".
const char* addressType(const std::string& address) {
  return address.find(':') != std::string::npos ? "IP6" : "IP4";
}

bool isBlank(char c) {
  return static_cast<unsigned char>(c) < 33;
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Reads the token at `pos` (after skipping blanks); it ends at the first blank.
std::string_view nextToken(std::string_view text, size_t& pos) {
  while (pos < text.size() && isBlank(text[pos])) ++pos;
  size_t start = pos;
  while (pos < text.size() && !isBlank(text[pos])) ++pos;
  return text.substr(start, pos - start);
}

// Leading decimal digits as a number, saturating; `digits` counts the digits read.
uint32_t leadingNumber(std::string_view text, size_t& digits) {
  uint64_t value = 0;
  digits = 0;
  while (digits < text.size() && isDigit(text[digits])) {
    value = value * 10 + static_cast<uint64_t>(text[digits] - '0');
    if (value > 0xFFFFFFFFu) value = 0xFFFFFFFFu;
    ++digits;
  }
  return static_cast<uint32_t>(value);
}

uint16_t portNumber(std::string_view text) {
  size_t digits = 0;
  return static_cast<uint16_t>(leadingNumber(text, digits));
}

// What the lines read so far belong to: the session part (defaults for every medium), the
// audio stream in use, or a section this side does not use (another medium, or an audio
// stream that is rejected with port 0 or comes after the one in use).
enum class Scope { Session, Audio, Ignored };

// The stream directions of one level; the audio level's, when given, overrides the session's.
struct Direction {
  bool given = false;
  MediaDirection value = MediaDirection::SendRecv;
};

void readDirection(std::string_view name, Direction& direction) {
  for (MediaDirection d : {MediaDirection::SendRecv, MediaDirection::SendOnly,
                           MediaDirection::RecvOnly, MediaDirection::Inactive}) {
    if (name == directionName(d)) {
      direction.given = true;
      direction.value = d;
    }
  }
}

// "0.0.0.0": a far end that holds the call the old way (RFC 2543) and takes no media.
bool isHoldAddress(std::string_view address) {
  return address == "0.0.0.0";
}

void readAttribute(std::string_view value, RemoteSdp& sdp) {
  size_t pos = 0;
  while (pos < value.size() && value[pos] != ' ' && value[pos] != ':') ++pos;
  std::string_view name = value.substr(0, pos);
  while (pos < value.size() && (value[pos] == ' ' || value[pos] == ':')) ++pos;
  std::string_view rest = value.substr(pos);

  if (name == "rtpmap") {
    size_t digits = 0;
    uint32_t number = leadingNumber(rest, digits);
    // Only real payload numbers count; 128 and above are not payload types.
    if (digits == 0 || number >= 128) return;
    size_t start = digits;
    while (start < rest.size() && rest[start] == ' ') ++start;
    size_t end = start;
    while (end < rest.size() && rest[end] != ' ' && rest[end] != '/') ++end;
    sdp.rtpmap.emplace_back(static_cast<uint8_t>(number),
                            cutText(rest.substr(start, end - start), kSdpTextLimit));
    RemoteSdp::Rtpmap detail{static_cast<uint8_t>(number), sdp.rtpmap.back().second, 0, 0};
    if (end < rest.size() && rest[end] == '/') {
      std::string_view numbers = rest.substr(end + 1);
      detail.clockRate = leadingNumber(numbers, digits);
      if (digits < numbers.size() && numbers[digits] == '/') {
        numbers.remove_prefix(digits + 1);
        detail.channels = leadingNumber(numbers, digits);
      }
    }
    sdp.rtpmapDetails.push_back(std::move(detail));
  } else if (name == "fmtp") {
    size_t digits = 0;
    const uint32_t number = leadingNumber(rest, digits);
    if (digits == 0 || number >= 128) return;
    size_t start = digits;
    while (start < rest.size() && rest[start] == ' ') ++start;
    sdp.fmtp.emplace_back(static_cast<uint8_t>(number), std::string(rest.substr(start)));
  } else if (name == "ptime") {
    size_t digits = 0;
    sdp.ptimeMs = leadingNumber(rest, digits);
  } else if (name == "direction") {
    size_t end = 0;
    while (end < rest.size() && rest[end] != ' ') ++end;
    if (equalsNoCase(rest.substr(0, end), "active")) sdp.directionActive = true;
  } else if (name == "local") {
    size_t at = 0;
    sdp.localAddress = std::string(nextToken(rest, at));
    sdp.localPort = portNumber(nextToken(rest, at));
  } else if (name == "domain") {
    sdp.domain = std::string(rest);
  } else if (name == "rtcp-mux") {
    sdp.rtcpMux = true;
  } else if (name == "rtcp") {
    size_t at = 0;
    sdp.rtcpPort = portNumber(nextToken(rest, at));
  } else if (name == "fingerprint") {
    size_t at = 0;
    const std::string_view hash = nextToken(rest, at);
    if (equalsNoCase(hash, "sha-256")) {
      std::string value(nextToken(rest, at));
      for (char& c : value) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      sdp.fingerprint = value;
    }
  } else if (name == "setup") {
    size_t at = 0;
    std::string value(nextToken(rest, at));
    for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    sdp.setup = value;
  } else if (name == "crypto") {
    std::optional<SdesCrypto> crypto = readCryptoAttribute(rest);
    if (crypto) sdp.crypto.push_back(std::move(*crypto));
  }
}

// An "m=" line: an audio stream with a port becomes the one in use (a later one replaces an
// earlier one).
Scope readMedia(std::string_view value, RemoteSdp& sdp) {
  size_t pos = 0;
  if (nextToken(value, pos) != "audio") return Scope::Ignored;
  const uint16_t port = portNumber(nextToken(value, pos));
  if (port == 0) return Scope::Ignored;  // a rejected or disabled stream
  sdp.audioPort = port;
  sdp.transport = std::string(nextToken(value, pos));
  while (pos < value.size() && isBlank(value[pos])) ++pos;
  sdp.formatList = std::string(value.substr(pos));
  return Scope::Audio;
}

// An "m=" line as an answer rejects it: the same medium, transport and formats on port 0.
std::string rejectedLine(std::string_view value) {
  size_t pos = 0;
  const std::string_view media = nextToken(value, pos);
  nextToken(value, pos);  // port
  const std::string_view transport = nextToken(value, pos);
  while (pos < value.size() && isBlank(value[pos])) ++pos;
  std::string line = "m=" + std::string(media) + " 0 " + std::string(transport);
  if (pos < value.size()) line += " " + std::string(value.substr(pos));
  return line + "\r\n";
}

std::string readConnection(std::string_view value) {
  size_t pos = 0;
  nextToken(value, pos);  // network type
  nextToken(value, pos);  // address type
  return std::string(nextToken(value, pos));
}

// The counter every new session takes its id from; atomic, as sessions of several
// lines may be created on different threads.
std::atomic<uint32_t>& sessionCounter() {
  static std::atomic<uint32_t> counter([] {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return static_cast<uint32_t>(now + local.tm_gmtoff);
  }());
  return counter;
}

}  // namespace

MediaDirection directionOf(bool sending, bool receiving) {
  if (sending) return receiving ? MediaDirection::SendRecv : MediaDirection::SendOnly;
  return receiving ? MediaDirection::RecvOnly : MediaDirection::Inactive;
}

const char* directionName(MediaDirection d) {
  switch (d) {
    case MediaDirection::SendOnly:
      return "sendonly";
    case MediaDirection::RecvOnly:
      return "recvonly";
    case MediaDirection::Inactive:
      return "inactive";
    case MediaDirection::SendRecv:
      break;
  }
  return "sendrecv";
}

MediaDirection answerDirection(MediaDirection offered, MediaDirection wanted) {
  return directionOf(sends(wanted) && receives(offered), receives(wanted) && sends(offered));
}

std::optional<EncryptionMode> encryptionModeFromName(std::string_view name) {
  constexpr std::pair<std::string_view, EncryptionMode> kModes[] = {{"off", EncryptionMode::Off},
                                                                    {"sdes", EncryptionMode::Sdes},
                                                                    {"dtls", EncryptionMode::Dtls},
                                                                    {"auto", EncryptionMode::Auto}};
  for (const auto& [text, mode] : kModes) {
    if (equalsNoCase(name, text)) return mode;
  }
  return std::nullopt;
}

std::string cutText(std::string_view text, size_t limit) {
  size_t count = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    if ((static_cast<unsigned char>(text[pos]) & 0xC0) != 0x80) {
      if (count == limit) break;
      ++count;
    }
    ++pos;
  }
  return std::string(text.substr(0, pos));
}

RemoteSdp RemoteSdp::parse(std::string_view body) {
  RemoteSdp sdp;
  Scope scope = Scope::Session;
  bool audioTaken = false;
  size_t sessionRtpmaps = 0;  // the rtpmap entries read before the first media section
  std::string sessionConnection, audioConnection;
  Direction sessionDirection, audioDirection;
  size_t pos = 0;
  while (true) {
    while (pos < body.size() && isBlank(body[pos])) ++pos;
    if (pos >= body.size()) break;
    size_t end = pos;
    while (end < body.size() && body[end] != '\r' && body[end] != '\n') ++end;
    std::string_view line = body.substr(pos, end - pos);
    pos = end;

    size_t at = 0;
    while (at < line.size() && line[at] != ' ' && line[at] != '=') ++at;
    std::string_view type = line.substr(0, at);
    while (at < line.size() && (line[at] == ' ' || line[at] == '=')) ++at;
    std::string value = cutText(line.substr(at), kSdpTextLimit);

    if (type == "m") {
      if (scope == Scope::Session) sessionRtpmaps = sdp.rtpmap.size();
      scope = readMedia(value, sdp);
      sdp.mediaLines.push_back(rejectedLine(value));
      if (scope == Scope::Audio) {
        sdp.audioIndex = static_cast<int32_t>(sdp.mediaLines.size()) - 1;
        // What an earlier audio section said goes with it.
        sdp.rtpmap.resize(sessionRtpmaps);
        sdp.rtpmapDetails.resize(sessionRtpmaps);
        sdp.fmtp.clear();
        sdp.ptimeMs = 0;
        sdp.rtcpMux = false;
        sdp.rtcpPort = 0;
        sdp.crypto.clear();
        audioConnection.clear();
        audioDirection = Direction{};
        audioTaken = true;
      }
    } else if (scope == Scope::Ignored) {
      continue;  // lines of a section not in use change nothing
    } else if (type == "a") {
      size_t nameEnd = 0;
      while (nameEnd < value.size() && value[nameEnd] != ' ' && value[nameEnd] != ':') ++nameEnd;
      readDirection(std::string_view(value).substr(0, nameEnd),
                    scope == Scope::Audio ? audioDirection : sessionDirection);
      // Keys belong to a media section, never to the session.
      if (scope == Scope::Audio || value.compare(0, 7, "crypto:") != 0) readAttribute(value, sdp);
    } else if (type == "c") {
      (scope == Scope::Audio ? audioConnection : sessionConnection) = readConnection(value);
    }
  }
  // A stream's own connection line and direction override the session's.
  sdp.connectionAddress = audioConnection.empty() ? sessionConnection : audioConnection;
  sdp.direction = (audioDirection.given ? audioDirection : sessionDirection).value;
  if (isHoldAddress(sdp.connectionAddress))
    sdp.direction = directionOf(sends(sdp.direction), false);
  sdp.sendOnly = sdp.direction == MediaDirection::SendOnly;
  if (!audioTaken) {
    sdp.audioPort = 0;
    sdp.formatList.clear();
    sdp.transport.clear();
  }
  return sdp;
}

uint8_t RemoteSdp::lookup(std::string_view encoding, uint8_t fallback) const {
  uint8_t found = fallback;
  for (const auto& [type, name] : rtpmap) {
    if (equalsNoCase(name, encoding)) found = type;
  }
  return found;
}

uint8_t RemoteSdp::lookup(std::string_view encoding, uint32_t clockRate, uint8_t fallback) const {
  uint8_t found = fallback;
  for (const Rtpmap& map : rtpmapDetails) {
    if (equalsNoCase(map.name, encoding) && map.clockRate == clockRate) found = map.type;
  }
  return found;
}

const RemoteSdp::Rtpmap* RemoteSdp::mapping(uint8_t type) const {
  const Rtpmap* found = nullptr;
  for (const Rtpmap& map : rtpmapDetails) {
    if (map.type == type) found = &map;
  }
  return found;
}

std::string RemoteSdp::fmtpOf(uint8_t type) const {
  std::string found;
  for (const auto& [number, text] : fmtp) {
    if (number == type) found = text;
  }
  return found;
}

std::vector<codecs::CodecId> SdpSession::codecOrder() const {
  return settings_.codecs.empty() ? defaultCodecOrder(settings_.quality) : settings_.codecs;
}

uint32_t SdpSession::nextSessionId() {
  return sessionCounter().fetch_add(1);
}

SdpSession::SdpSession() : sessionId_(nextSessionId()), sessionVersion_(sessionId_) {
  renewKeys();
  isPrivate_ = [](const std::string& host) {
    uint32_t address = base::resolveHost(host);
    return address != 0 && base::isPrivateAddress(address);
  };
}

void SdpSession::renewKeys() {
  ownKeys_.clear();
  uint32_t tag = 1;
  for (SrtpSuite suite : kSrtpSuites)
    ownKeys_.push_back(SdesCrypto{tag++, suite, newMasterKey(suite)});
  offeredCrypto_.clear();
  srtpKeys_.reset();
  offeredDtls_ = false;
  dtls_.reset();
}

void SdpSession::prepare(const std::string& publicAddress, uint16_t publicPort,
                         const std::string& privateAddress, uint16_t privatePort) {
  ++sessionVersion_;
  remoteAddress_.clear();
  remotePort_ = 0;
  peerActive_ = false;
  peerDirection_ = MediaDirection::SendRecv;
  rtcpMux_ = false;
  remoteRtcpPort_ = 0;
  refusal_ = SdpRefusal::None;
  chosen_ = comfortNoise_ = telephoneEvent_ = g726_ = g726Aal2_ = kNoPayloadType;
  publicAddress_ = cutText(publicAddress, kSdpTextLimit);
  publicPort_ = publicPort;
  privateAddress_ = cutText(privateAddress, kSdpTextLimit);
  privatePort_ = privatePort;
}

std::string SdpSession::describe(const std::string& payloadText, MediaDirection direction,
                                 const Layout& layout) const {
  base::TextBuilder text;
  const std::string& connection = layout.usePrivate ? privateAddress_ : publicAddress_;
  text.Format(kTemplate, sessionId_, sessionVersion_, addressType(publicAddress_), publicAddress_,
              addressType(connection), connection, layout.usePrivate ? privatePort_ : publicPort_,
              layout.transport, payloadText, directionName(direction));
  if (settings_.active && layout.allowDirection) text.Append("a=direction:active\r\n");
  if (!layout.usePrivate && layout.allowLocal && privateAddress_ != publicAddress_) {
    text.AppendFormat("a=local:%s %d\r\na=domain:%s\r\n", privateAddress_, privatePort_,
                      publicAddress_);
  }
  if (layout.rtcpMux) text.Append("a=rtcp-mux\r\n");
  for (const SdesCrypto& crypto : layout.crypto) {
    text.Append("a=" + writeCryptoAttribute(crypto) + "\r\n");
  }
  if (!layout.setup.empty()) {
    text.Append("a=fingerprint:sha-256 " + settings_.fingerprint + "\r\na=setup:" + layout.setup +
                "\r\n");
  }
  return text.take();
}

std::string SdpSession::makeOffer(MediaDirection direction) {
  Layout layout;
  offered_ = direction;
  offeredCrypto_.clear();
  offeredDtls_ = settings_.dtls && !settings_.fingerprint.empty();
  if (settings_.sdes) {
    // Required: only encrypted media will do. Else a plain profile with keys, which a far
    // end that cannot encrypt answers plain (best-effort SRTP).
    layout.transport = settings_.encryptionRequired ? "RTP/SAVP" : "RTP/AVP";
    offeredCrypto_ = ownKeys_;
    layout.crypto = offeredCrypto_;
  }
  if (offeredDtls_) {
    // Either side may start the handshake: the answer decides.
    if (settings_.encryptionRequired) layout.transport = "UDP/TLS/RTP/SAVP";
    layout.setup = "actpass";
  }
  return describe(offerFormats(codecOrder()), direction, layout);
}

std::string SdpSession::makeCapabilityOffer(const SdpSettings& settings) {
  SdpSession session;
  session.setSettings(settings);
  return session.makeOffer(MediaDirection::SendRecv);
}

bool SdpSession::takeOffer(std::string_view body, MediaDirection wanted, std::string& answer) {
  offeredCrypto_.clear();
  offeredDtls_ = false;
  return negotiate(body, wanted, answer, true);
}

bool SdpSession::takeAnswer(std::string_view body) {
  std::string unused;
  refusal_ = SdpRefusal::None;
  return negotiate(body, offered_, unused, false);
}

bool SdpSession::refuse(SdpRefusal why, const std::string& logLine) {
  refusal_ = why;
  srtpKeys_.reset();
  dtls_.reset();
  base::logError(logLine);
  return false;
}

bool SdpSession::chooseSecurity(const RemoteSdp& remote, bool answering, Layout& layout) {
  const Profile profile = profileOf(remote.transport);
  const bool dtlsUsable = settings_.dtls && !settings_.fingerprint.empty();
  if (profile == Profile::Other || (profile == Profile::Dtls && !dtlsUsable)) {
    return refuse(SdpRefusal::UnsupportedTransport, "Media: the far end's media transport " +
                                                        cutText(remote.transport, 40) +
                                                        " cannot be used here");
  }
  std::optional<SrtpKeys> keys;
  std::optional<DtlsSetup> dtls;
  if (answering && dtlsUsable && !remote.fingerprint.empty() && remote.setup != "holdconn") {
    // DTLS first: its keys never pass through the signalling. This side starts the
    // handshake unless the far end wants to.
    const bool client = remote.setup != "active";
    dtls = DtlsSetup{client, remote.fingerprint};
    layout.setup = client ? "active" : "passive";
    layout.transport = remote.transport;
  } else if (answering) {
    // The first of the offered keys whose suite we have; our answer keys the same suite.
    if (settings_.sdes && !remote.crypto.empty()) {
      const SdesCrypto& theirs = remote.crypto.front();
      for (const SdesCrypto& own : ownKeys_) {
        if (own.suite != theirs.suite) continue;
        keys = SrtpKeys{own.suite, own.key, theirs.key};
        layout.crypto.push_back(SdesCrypto{theirs.tag, own.suite, own.key});
      }
    }
    layout.transport = remote.transport;
  } else if (!offeredCrypto_.empty() || offeredDtls_) {
    // The answer keys one of the suites we offered, under its tag.
    for (const SdesCrypto& theirs : remote.crypto) {
      for (const SdesCrypto& own : offeredCrypto_) {
        if (own.tag == theirs.tag && own.suite == theirs.suite && !keys) {
          keys = SrtpKeys{own.suite, own.key, theirs.key};
        }
      }
    }
    // Else a DTLS answer: it says whether it starts the handshake ("active") or waits.
    if (!keys && offeredDtls_ && !remote.fingerprint.empty() &&
        (remote.setup == "active" || remote.setup == "passive")) {
      dtls = DtlsSetup{remote.setup == "passive", remote.fingerprint};
    }
  }
  if (!keys && !dtls && profile != Profile::Plain) {
    return refuse(SdpRefusal::NoKeys, settings_.sdes
                                          ? "Media: the far end's encrypted media offers no key "
                                            "this side can use"
                                          : "Media: the far end's encrypted media cannot be "
                                            "keyed over this signalling");
  }
  if (!keys && !dtls && settings_.encryptionRequired) {
    return refuse(SdpRefusal::NotEncrypted, "Call refused: the far end offers no encrypted media");
  }
  srtpKeys_ = std::move(keys);
  dtls_ = std::move(dtls);
  return true;
}

bool SdpSession::negotiate(std::string_view body, MediaDirection wanted, std::string& answer,
                           bool answering) {
  RemoteSdp remote = RemoteSdp::parse(body);
  remoteAddress_ = remote.connectionAddress;
  remotePort_ = remote.audioPort;
  peerActive_ = remote.directionActive;
  peerDirection_ = remote.direction;
  const MediaDirection agreed = answerDirection(remote.direction, wanted);
  rtcpMux_ = remote.rtcpMux;
  remoteRtcpPort_ = remote.rtcpPort;
  chosen_ = kNoPayloadType;
  chosenCodec_ = codecs::CodecId::kPcmu;
  peerOpus_ = codecs::OpusFmtp{};
  const std::vector<codecs::CodecId> order = codecOrder();
  const auto enabled = [&order](codecs::CodecId id) {
    return std::find(order.begin(), order.end(), id) != order.end();
  };
  // Opus or G.722 when the far end lists it before any other codec this side has.
  std::optional<CodecPick> wide = firstCommonCodec(remote, order);
  if (wide && !isWideband(wide->id)) wide.reset();
  const bool opus = wide && wide->id == codecs::CodecId::kOpus;
  comfortNoise_ = remote.lookup("CN", 13);
  // Events go at the voice codec's clock: 48000 beside Opus, else 8000.
  telephoneEvent_ =
      opus ? remote.lookup("telephone-event", 48000, kNoPayloadType)
           : remote.lookup("telephone-event", 8000, remote.lookup("telephone-event", 101));
  g726_ = remote.lookup("G726-32", 2);
  g726Aal2_ = remote.lookup("AAL2-G726-32", kNoPayloadType);  // dynamic only
  // A peer that maps 2 to the AAL2 format leaves no type for the other one.
  if (g726_ == g726Aal2_) g726_ = kNoPayloadType;
  // A peer known to pack "G726-32" the AAL2 way: that payload is coded as AAL2-G726-32.
  g726NamedPlain_ = settings_.g726Aal2Packing && g726Aal2_ == kNoPayloadType;
  if (g726NamedPlain_) std::swap(g726_, g726Aal2_);

  // Without any step below, the answer is public and carries no local lines.
  Layout layout;
  layout.allowLocal = false;
  layout.rtcpMux = remote.rtcpMux;
  if (!remote.localAddress.empty()) {
    const std::string& peerPublic =
        remote.domain.empty() ? remote.connectionAddress : remote.domain;
    if (peerPublic == publicAddress_) {
      // Both behind the same NAT: talk over the LAN.
      remoteAddress_ = remote.localAddress;
      remotePort_ = remote.localPort;
      remoteRtcpPort_ = 0;  // what "a=rtcp" names is the public side
      layout.allowDirection = false;
      layout.allowLocal = true;
    }
  }
  if (remoteAddress_ == publicAddress_) {
    peerActive_ = true;
    layout.usePrivate = true;
  } else if (isPrivate_ && isPrivate_(remoteAddress_)) {
    layout.usePrivate = true;
  }

  bool preferGsm = settings_.quality < 50;
  bool preferG726 = preferGsm;
  bool pcmu = false, pcma = false, gsm = false, g726 = false, g726Aal2 = false, cn = false,
       events = false;
  std::string_view formats = remote.formatList;
  size_t pos = 0;
  while (true) {
    std::string_view token = nextToken(formats, pos);
    if (token.empty()) break;
    size_t digits = 0;
    uint32_t number = leadingNumber(token, digits);
    // A token that is not a payload number offers nothing.
    if (digits != token.size() || number > 127) continue;
    bool g711Before = pcmu || pcma;
    if (number == g726Aal2_) {
      g726Aal2 = true;
      if (!g711Before) preferG726 = true;
    } else if (number == 0) {
      pcmu = true;
    } else if (number == 8) {
      pcma = true;
    } else if (number == 3) {
      gsm = true;
      if (!g711Before) preferGsm = true;
    } else if (number == 2) {
      g726 = true;
    } else if (number == 13) {
      cn = true;
    } else {
      if (number == comfortNoise_) cn = true;
      if (number == telephoneEvent_) events = true;
      if (number == g726_) {
        g726 = true;
        if (!g711Before) preferG726 = true;
      }
    }
  }

  pcmu = pcmu && enabled(codecs::CodecId::kPcmu);
  pcma = pcma && enabled(codecs::CodecId::kPcma);
  gsm = gsm && enabled(codecs::CodecId::kGsm);
  g726 = g726 && enabled(codecs::CodecId::kG726_32);
  g726Aal2 = g726Aal2 && enabled(codecs::CodecId::kG726_32Aal2);
  // Opus brings its own comfort noise (DTX) and concealment; CN/8000 would not fit its clock.
  if (opus) cn = false;

  base::TextBuilder list;
  base::TextBuilder maps;
  if (wide) takeWideband(remote, *wide, list, maps);
  auto addVoice = [&](uint8_t type, const char* name) {
    list.AppendFormat(" %d", type);
    maps.AppendFormat("a=rtpmap:%d %s/8000\r\n", type, name);
    if (chosen_ == kNoPayloadType) chosen_ = type;
  };
  if (gsm && preferGsm) addVoice(3, "GSM");
  // Of the two G.726-32 formats the RFC 3551 one comes first.
  auto addG726 = [&] {
    if (g726) addVoice(g726_, "G726-32");
    if (g726Aal2) addVoice(g726Aal2_, g726NamedPlain_ ? "G726-32" : "AAL2-G726-32");
  };
  if (preferG726) addG726();
  if (pcmu) addVoice(0, "PCMU");
  if (pcma) addVoice(8, "PCMA");
  if (!preferG726) addG726();
  if (gsm && !preferGsm) addVoice(3, "GSM");
  if (cn) {
    list.AppendFormat(" %d", comfortNoise_);
    maps.AppendFormat("a=rtpmap:%d CN/8000\r\n", comfortNoise_);
  } else {
    comfortNoise_ = kNoPayloadType;
  }
  if (events) {
    list.AppendFormat(" %d", telephoneEvent_);
    maps.AppendFormat("a=rtpmap:%d telephone-event/%d\r\na=fmtp:%d 0-16\r\n", telephoneEvent_,
                      opus ? 48000 : 8000, telephoneEvent_);
  } else {
    telephoneEvent_ = kNoPayloadType;
  }
  // An answer without a voice codec would carry no audio: that is a failed negotiation.
  if (list.length() == 0 || chosen_ == kNoPayloadType) {
    refusal_ = SdpRefusal::NoCodec;
    return false;
  }
  if (remote.audioPort != 0 && !chooseSecurity(remote, answering, layout)) return false;

  base::TextBuilder payloadText;
  payloadText.Format("%s\r\n%s", list.view(), maps.view());
  answer = withRejectedStreams(describe(payloadText.text(), agreed, layout), remote);
  direction_ = agreed;
  return true;
}

void SdpSession::takeWideband(const RemoteSdp& remote, const CodecPick& pick,
                              base::TextBuilder& list, base::TextBuilder& maps) {
  chosen_ = pick.payloadType;
  chosenCodec_ = pick.id;
  list.AppendFormat(" %d", pick.payloadType);
  maps.AppendFormat("a=rtpmap:%d %s\r\n", pick.payloadType, codecs::codecInfo(pick.id).rtpmap);
  if (pick.id == codecs::CodecId::kOpus) {
    maps.AppendFormat("a=fmtp:%d %s\r\n", pick.payloadType, ownOpusFmtp());
    peerOpus_ = codecs::parseOpusFmtp(remote.fmtpOf(pick.payloadType));
    for (const std::string& problem : peerOpus_.problems) {
      base::logError("SDP: the far end's Opus parameter " + cutText(problem, 80) +
                     " (the default is kept)");
    }
  }
  const uint32_t longest =
      std::max<uint32_t>(remote.ptimeMs, static_cast<uint32_t>(peerOpus_.ptimeMs));
  if (longest > 20) {
    base::logInfo("SDP: the far end asks for " + std::to_string(longest) +
                  " ms packets; 20 ms packets are sent (its own are taken up to 120 ms)");
  }
}

std::string SdpSession::withRejectedStreams(std::string answer, const RemoteSdp& remote) {
  // An answer has one media section per offered one, in the offer's order: the streams
  // other than the audio in use are refused with port 0.
  std::string before, after;
  for (size_t i = 0; i < remote.mediaLines.size(); ++i) {
    const int32_t index = static_cast<int32_t>(i);
    if (index < remote.audioIndex) before += remote.mediaLines[i];
    if (index > remote.audioIndex) after += remote.mediaLines[i];
  }
  const size_t audio = answer.find("m=audio ");
  if (audio != std::string::npos) answer.insert(audio, before);
  return answer + after;
}

}  // namespace quillet::media
