// SPDX-License-Identifier: Apache-2.0
// quillet-tool sdp: SDP offers, answers to offers read from files, and the reading of a
// peer's SDP, with JSON output.
//   sdp offer [--quality N] [--active] [--public IP] [--private IP] [--port P] [--sendonly]
//   sdp answer [--quality N] [--active] [--public IP] [--private IP] [--port P] [--sendonly]
//   OFFER_FILE sdp parse FILE sdp capability [--quality N]
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "base/net_facts.h"
#include "media/sdp_session.h"
#include "platform/socket.h"
#include "tool.h"

namespace quillet::tool {

namespace {

struct SdpOptions {
  media::SdpSettings settings;
  std::string publicAddress = "127.0.0.1";
  std::string privateAddress;
  int port = 8000;
  bool sendOnly = false;
  std::string file;
};

constexpr const char* kUsage =
    "usage: quillet-tool sdp offer|answer [--quality N] [--active] [--public IP] [--private IP] "
    "[--port P] [--sendonly] [OFFER_FILE] | parse FILE | capability [--quality N]";

// Answers kExitOk, or the usage status after printing why.
int parseOptions(const Args& args, size_t first, SdpOptions& options) {
  for (size_t i = first; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool hasValue = i + 1 < args.size();
    if (arg == "--quality" && hasValue) {
      int quality = 0;
      if (!parseNumber(args[++i], 0, 100, quality)) return usageError("--quality takes 0..100");
      options.settings.quality = quality;
    } else if (arg == "--active") {
      options.settings.active = true;
    } else if (arg == "--public" && hasValue) {
      options.publicAddress = args[++i];
    } else if (arg == "--private" && hasValue) {
      options.privateAddress = args[++i];
    } else if (arg == "--port" && hasValue) {
      if (!parseNumber(args[++i], 0, 65535, options.port))
        return usageError("--port takes 0..65535");
    } else if (arg == "--sendonly") {
      options.sendOnly = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return usageError("unknown or incomplete option '" + arg + "'\n" + kUsage);
    } else if (options.file.empty()) {
      options.file = arg;
    } else {
      return usageError(kUsage);
    }
  }
  if (options.privateAddress.empty()) options.privateAddress = options.publicAddress;
  return kExitOk;
}

// SDP bodies are small; anything beyond this is not one (and /dev/urandom never ends).
constexpr size_t kMaxSdpFile = 1 << 20;

bool readFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.resize(kMaxSdpFile + 1);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) return false;
  text.resize(static_cast<size_t>(in.gcount()));
  return text.size() <= kMaxSdpFile;
}

nlohmann::json payloadType(uint8_t type) {
  return type == media::kNoPayloadType ? nlohmann::json(nullptr) : nlohmann::json(type);
}

void print(const nlohmann::json& out) {
  // Bytes outside UTF-8 in a peer's text are shown replaced, never rejected.
  std::printf("%s\n", out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

media::SdpSession preparedSession(const SdpOptions& options) {
  media::SdpSession session;
  session.setSettings(options.settings);
  // Dotted quads only: the tool makes no name lookups.
  session.setPrivateAddressTest([](const std::string& host) {
    uint32_t address = 0;
    return platform::parseDottedQuad(host, address) && base::isPrivateAddress(address);
  });
  auto port = static_cast<uint16_t>(options.port);
  session.prepare(options.publicAddress, port, options.privateAddress, port);
  return session;
}

// What this side offers or would do: --sendonly as a call held here.
media::MediaDirection direction(const SdpOptions& options) {
  return options.sendOnly ? media::MediaDirection::SendOnly : media::MediaDirection::SendRecv;
}

int runAnswer(const SdpOptions& options) {
  if (options.file.empty()) return usageError(kUsage);
  std::string body;
  if (!readFile(options.file, body)) {
    std::fprintf(stderr, "quillet-tool: cannot read %s (or larger than 1 MiB)\n",
                 options.file.c_str());
    return kExitRejected;
  }
  media::SdpSession session = preparedSession(options);
  std::string answer;
  bool ok = session.takeOffer(body, direction(options), answer);
  nlohmann::json out;
  out["ok"] = ok;
  out["answer"] = ok ? nlohmann::json(answer) : nlohmann::json(nullptr);
  out["chosen"] = payloadType(session.chosenPayloadType());
  out["comfortNoise"] = payloadType(session.comfortNoisePayloadType());
  out["telephoneEvent"] = payloadType(session.telephoneEventPayloadType());
  out["g726"] = payloadType(session.g726PayloadType());
  out["g726Aal2"] = payloadType(session.g726Aal2PayloadType());
  out["remoteAddress"] = session.remoteAddress();
  out["remotePort"] = session.remotePort();
  out["peerActive"] = session.peerActive();
  out["peerSendOnly"] = session.peerSendOnly();
  out["peerDirection"] = media::directionName(session.peerDirection());
  out["direction"] = ok ? nlohmann::json(media::directionName(session.direction())) : nullptr;
  print(out);
  if (!ok) std::fprintf(stderr, "quillet-tool: no codec of the offer can be answered\n");
  return ok ? kExitOk : kExitRejected;
}

int runParse(const SdpOptions& options) {
  if (options.file.empty()) return usageError(kUsage);
  std::string body;
  if (!readFile(options.file, body)) {
    std::fprintf(stderr, "quillet-tool: cannot read %s (or larger than 1 MiB)\n",
                 options.file.c_str());
    return kExitRejected;
  }
  media::RemoteSdp sdp = media::RemoteSdp::parse(body);
  nlohmann::json out;
  out["connectionAddress"] = sdp.connectionAddress;
  out["audioPort"] = sdp.audioPort;
  out["formats"] = sdp.formatList;
  out["directionActive"] = sdp.directionActive;
  out["sendOnly"] = sdp.sendOnly;
  out["direction"] = media::directionName(sdp.direction);
  out["localAddress"] = sdp.localAddress;
  out["localPort"] = sdp.localPort;
  out["domain"] = sdp.domain;
  out["rtpmap"] = nlohmann::json::array();
  for (const auto& [type, name] : sdp.rtpmap) {
    out["rtpmap"].push_back({{"payloadType", type}, {"encoding", name}});
  }
  print(out);
  return kExitOk;
}

}  // namespace

int runSdp(const Args& args) {
  if (args.empty()) return usageError(kUsage);
  SdpOptions options;
  int status = parseOptions(args, 1, options);
  if (status != kExitOk) return status;
  const std::string& command = args[0];
  if (command == "answer") return runAnswer(options);
  if (command == "parse") return runParse(options);
  if (command == "offer" || command == "capability") {
    if (!options.file.empty()) return usageError(kUsage);
    nlohmann::json out;
    if (command == "offer") {
      media::SdpSession session = preparedSession(options);
      out["offer"] = session.makeOffer(direction(options));
      out["sessionId"] = session.sessionId();
      out["sessionVersion"] = session.sessionVersion();
    } else {
      out["offer"] = media::SdpSession::makeCapabilityOffer(options.settings);
    }
    print(out);
    return kExitOk;
  }
  return usageError(kUsage);
}

}  // namespace quillet::tool
