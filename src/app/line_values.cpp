// SPDX-License-Identifier: Apache-2.0
// Resolving a line's settings into the values its engine is built from.
#include "app/line_values.h"

#include <strings.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "base/log.h"
#include "media/codec_choice.h"
#include "sip/sip_uri.h"

namespace quillet::app {

namespace {

bool equalsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view trimBlanks(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Transport: auto (also when empty), udp, tcp or tls; another text is logged and reads as auto.
std::optional<sip::TransportKind> readTransport(base::SettingsStore& store,
                                                const std::string& section) {
  const std::string text = store.readText(section, "Transport");
  const std::string_view name = trimBlanks(text);
  if (name.empty() || equalsNoCase(name, "auto")) {
    return std::nullopt;
  }
  std::optional<sip::TransportKind> kind = sip::transportFromName(name);
  if (!kind) {
    base::logError(section + "/Transport: unknown transport \"" + text +
                   "\" (auto, udp, tcp or tls), the transport is chosen from the server");
  }
  return kind;
}

// TLSVerifyServer: 0 turns the checks off; any other text than 0 or 1 is logged and keeps them.
bool readVerifyServer(base::SettingsStore& store, const std::string& section) {
  const std::string text = store.readText(section, "TLSVerifyServer");
  const std::string_view value = trimBlanks(text);
  if (value == "0") return false;
  if (!value.empty() && value != "1") {
    base::logError(section + "/TLSVerifyServer: \"" + text +
                   "\" is neither 0 nor 1, the server's certificate is verified");
  }
  return true;
}

media::EncryptionMode readMediaEncryption(base::SettingsStore& store, const std::string& section) {
  const std::string text = store.readText(section, "MediaEncryption");
  const std::string_view name = trimBlanks(text);
  if (name.empty()) return media::EncryptionMode::Auto;
  const std::optional<media::EncryptionMode> mode = media::encryptionModeFromName(name);
  if (!mode) {
    base::logError(section + "/MediaEncryption: unknown value \"" + text +
                   "\" (off, sdes, dtls or auto), auto is used");
  }
  return mode.value_or(media::EncryptionMode::Auto);
}

bool readEncryptionRequired(base::SettingsStore& store, const std::string& section) {
  const std::string text = store.readText(section, "MediaEncryptionRequired");
  const std::string_view value = trimBlanks(text);
  if (value == "1") return true;
  if (!value.empty() && value != "0") {
    base::logError(section + "/MediaEncryptionRequired: \"" + text +
                   "\" is neither 0 nor 1, plain media is allowed");
  }
  return false;
}

std::vector<codecs::CodecId> readCodecs(base::SettingsStore& store, const std::string& section) {
  const std::string text = store.readText(section, "Codecs");
  std::vector<std::string> problems;
  std::vector<codecs::CodecId> order = media::parseCodecList(text, problems);
  for (const std::string& problem : problems) {
    base::logError(section + "/Codecs: " + problem + " (opus, g722, pcmu, pcma, g726-32, " +
                   "aal2-g726-32, gsm), skipped");
  }
  if (order.empty() && !trimBlanks(text).empty()) {
    base::logError(section + "/Codecs: no codec named, all are offered");
  }
  return order;
}

int readOpusBitRate(base::SettingsStore& store, const std::string& section) {
  const std::string text = store.readText(section, "OpusBitrate");
  if (trimBlanks(text).empty()) return codecs::kOpusDefaultBitRate;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || !trimBlanks(end).empty() || value < 6000 || value > 510000) {
    base::logError(section + "/OpusBitrate: \"" + text + "\" is not 6000 to 510000 bit/s, " +
                   std::to_string(codecs::kOpusDefaultBitRate) + " is used");
    return codecs::kOpusDefaultBitRate;
  }
  return static_cast<int>(value);
}

}  // namespace

std::string lineSection(base::SettingsStore& store, int lineIndex) {
  std::string section = "Line" + std::to_string(lineIndex + 1);
  if (store.readBool(section, "UseDefault", true)) {
    return "DefaultLine";
  }
  return section;
}

LineValues readLineValues(base::SettingsStore& store, int lineIndex) {
  const std::string section = lineSection(store, lineIndex);
  LineValues values;
  values.displayName = store.readText(section, "DisplayName");
  values.userName = store.readText(section, "UserName");
  values.proxy = store.readText(section, "Proxy");
  values.mailboxUri = std::string(trimBlanks(store.readText(section, "MailboxURI")));
  values.voicemailNumber = std::string(trimBlanks(store.readText(section, "VoicemailNumber")));
  values.password = store.readPassword(section, "ProxyPassword");
  switch (store.readInt(section, "UseOutboundServer", 0)) {
    case 0:
      values.outboundServer = values.proxy;
      break;
    case 1:
      values.outboundServer = store.readText(section, "OutboundServer");
      break;
    default:
      break;  // no outbound server
  }
  switch (store.readInt(section, "UseAuthentication", 0)) {
    case 0:
      values.authId = values.userName;
      break;
    case 1:
      values.authId = store.readText(section, "AuthID");
      break;
    default:
      break;
  }
  const std::string packing = store.readText(section, "G726Packing");
  values.g726Aal2Packing = strcasecmp(packing.c_str(), "AAL2") == 0;
  if (!packing.empty() && !values.g726Aal2Packing && strcasecmp(packing.c_str(), "RFC3551") != 0) {
    base::logError(section + "/G726Packing: unknown packing \"" + packing + "\", RFC3551 is used");
  }
  values.transport = readTransport(store, section);
  values.tlsCaFile = store.readText(section, "TLSCAFile");
  values.tlsVerifyServer = readVerifyServer(store, section);
  values.tlsCertFile = store.readText(section, "TLSCertFile");
  values.tlsKeyFile = store.readText(section, "TLSKeyFile");
  values.mediaEncryption = readMediaEncryption(store, section);
  values.mediaEncryptionRequired = readEncryptionRequired(store, section);
  values.codecs = readCodecs(store, section);
  values.opusBitRate = readOpusBitRate(store, section);
  return values;
}

sip::TransportKind lineTransport(const LineValues& values) {
  // As the registration picks it: what the server's address names, then the setting.
  std::optional<sip::TransportKind> named;
  if (!values.outboundServer.empty()) {
    named = sip::uriTransport(sip::serverUri(values.outboundServer));
  }
  return named.value_or(values.transport.value_or(sip::TransportKind::Udp));
}

}  // namespace quillet::app
