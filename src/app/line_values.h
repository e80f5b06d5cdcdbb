// SPDX-License-Identifier: Apache-2.0
// The values of a SIP line as the engine is built from them: the line's settings section
// (or the default line's) with the outbound server and authentication identity resolved.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/settings_store.h"
#include "codecs/audio_codec.h"
#include "codecs/opus_codec.h"
#include "media/sdp_session.h"
#include "sip/transport_kind.h"

namespace quillet::app {

struct LineValues {
  std::string displayName;
  std::string userName;
  std::string proxy;
  std::string outboundServer;  // resolved: the proxy, the configured server or empty
  std::string authId;          // resolved: the user name, the configured identity or empty
  std::string password;
  // G726Packing=AAL2: the line's peers pack "G726-32" high nibble first (default RFC3551).
  bool g726Aal2Packing = false;
  // Transport=udp|tcp|tls; nothing for "auto" (the default) and for an unknown text.
  std::optional<sip::TransportKind> transport;
  // TLS: the file of the trusted authorities (empty: only the system's store), whether the
  // server's certificate and host name are checked (TLSVerifyServer=0 turns that off), and
  // the client certificate with its key (both optional).
  std::string tlsCaFile;
  bool tlsVerifyServer = true;
  std::string tlsCertFile;
  std::string tlsKeyFile;
  // MediaEncryption=off|sdes|dtls|auto (default auto; an unknown text is logged and reads
  // as auto) and MediaEncryptionRequired=1: a call whose media would be plain is refused.
  media::EncryptionMode mediaEncryption = media::EncryptionMode::Auto;
  bool mediaEncryptionRequired = false;
  // MailboxURI: the voicemail box whose message-waiting state is subscribed to (empty: the
  // line's own address, when it has a server); VoicemailNumber: what the Voicemail command
  // dials (empty: the mailbox).
  std::string mailboxUri;
  std::string voicemailNumber;
  // Codecs=opus,g722,pcmu,...: the voice codecs offered and taken, in order (empty: all, in
  // the default order by quality). Unknown names are logged and skipped.
  std::vector<codecs::CodecId> codecs;
  // OpusBitrate: the bit rate Opus is sent at (6000 .. 510000 bit/s, default 32000, which
  // carries wideband speech); a far end's maxaveragebitrate holds it lower.
  int opusBitRate = codecs::kOpusDefaultBitRate;
};

// The section the line's values are read from: "Line<index+1>", or "DefaultLine" when
// that section's UseDefault is yes (also when it is absent).
std::string lineSection(base::SettingsStore& store, int lineIndex);

LineValues readLineValues(base::SettingsStore& store, int lineIndex);

// The transport the line registers over, as its registration picks it: TLS when the server
// the REGISTER goes to (the outbound server, which is the proxy unless another is chosen)
// is a sips: URI, else the transport its ";transport=" parameter names, else the line's
// Transport setting, else UDP. A parameter naming no known transport counts as none.
sip::TransportKind lineTransport(const LineValues& values);

// The REGISTER priority of every line (sent as q=0.90).
constexpr double kLinePriority = 0.9;

}  // namespace quillet::app
