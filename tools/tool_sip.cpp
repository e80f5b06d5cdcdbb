// SPDX-License-Identifier: Apache-2.0
// quillet-tool sip: parse messages, URIs, name-addrs and dial strings into JSON, compute
// digest credentials and find the servers of a URI.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>

#include "base/log.h"
#include "sip/digest.h"
#include "sip/server_locator.h"
#include "sip/sip_message.h"
#include "sip/sip_uri.h"
#include "tool.h"

namespace quillet::tool {

namespace {

using nlohmann::json;

constexpr const char* kUsage =
    "usage: quillet-tool sip parse [FILE|-]\n"
    "       quillet-tool sip uri TEXT\n"
    "       quillet-tool sip nameaddr TEXT\n"
    "       quillet-tool sip dial TEXT SERVER\n"
    "       quillet-tool sip digest --challenge TEXT --method M --uri U --user U --password P "
    "[--json]\n"
    "       quillet-tool sip tls HOST[:PORT] [--ca FILE] [--no-verify]\n"
    "       quillet-tool sip resolve URI [--transport udp|tcp|tls]\n";

int usage(const std::string& text) {
  std::fputs(kUsage, stderr);
  return usageError(text);
}

// Texts from the wire may hold bytes that are not UTF-8; they print as U+FFFD.
void print(const json& value) {
  std::string text = value.dump(2, ' ', false, json::error_handler_t::replace);
  std::printf("%s\n", text.c_str());
}

json paramsJson(const sip::ParamList& params) {
  json list = json::array();
  for (const sip::Param& p : params) list.push_back({{"name", p.name}, {"value", p.value}});
  return list;
}

int parseCommand(const Args& args) {
  if (args.size() > 2) return usage("sip parse takes at most one FILE");
  std::string text;
  if (args.size() < 2 || args[1] == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream in(args[1], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "quillet-tool: cannot read %s\n", args[1].c_str());
      return kExitRejected;
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::optional<sip::SipMessage> message = sip::SipMessage::parse(text);
  if (!message) {
    std::fprintf(stderr, "quillet-tool: not a SIP message\n");
    return kExitRejected;
  }
  json out;
  out["kind"] = message->isRequest() ? "request" : "response";
  out["method"] = message->method;
  out["uri"] = message->uri;
  out["status"] = message->status;
  out["reason"] = message->reason;
  out["headers"] = json::array();
  for (const sip::SipHeader& h : message->headers) {
    out["headers"].push_back({{"name", h.name}, {"value", h.value}});
  }
  out["bodies"] = json::array();
  for (const sip::SipBodyPart& b : message->bodies) {
    out["bodies"].push_back({{"type", b.type}, {"text", b.text}});
  }
  print(out);
  return kExitOk;
}

int uriCommand(const Args& args) {
  if (args.size() != 2) return usage("sip uri takes one TEXT");
  sip::SipUri uri = sip::parseUri(args[1]);
  print({{"scheme", uri.scheme},
         {"user", uri.user},
         {"password", uri.password},
         {"host", uri.host},
         {"hasPort", uri.hasPort},
         {"port", uri.port},
         {"params", paramsJson(uri.params)},
         {"headers", paramsJson(uri.headers)},
         {"printed", sip::printUri(uri)}});
  return kExitOk;
}

int nameAddrCommand(const Args& args) {
  if (args.size() != 2) return usage("sip nameaddr takes one TEXT");
  sip::NameAddr na = sip::parseNameAddr(args[1]);
  print({{"displayName", na.displayName},
         {"uri", na.uri},
         {"params", paramsJson(na.params)},
         {"tag", sip::paramValue(na.params, "tag")},
         {"stripped", sip::stripParameters(args[1])}});
  return kExitOk;
}

int dialCommand(const Args& args) {
  if (args.size() != 3) return usage("sip dial takes TEXT and SERVER");
  if (!sip::isDialable(args[1])) {
    print({{"dialable", false}});
    return kExitRejected;
  }
  print({{"dialable", true}, {"nameAddr", sip::dialToNameAddr(args[1], args[2])}});
  return kExitOk;
}

int digestCommand(const Args& args) {
  std::string challenge, method, uri, user, password;
  bool haveChallenge = false, asJson = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--json") {
      asJson = true;
      continue;
    }
    if (i + 1 >= args.size()) return usage("option " + option + " needs a value");
    const std::string& value = args[++i];
    if (option == "--challenge") {
      challenge = value;
      haveChallenge = true;
    } else if (option == "--method") {
      method = value;
    } else if (option == "--uri") {
      uri = value;
    } else if (option == "--user") {
      user = value;
    } else if (option == "--password") {
      password = value;
    } else {
      return usage("unknown option " + option);
    }
  }
  if (!haveChallenge || method.empty() || uri.empty()) {
    return usage("sip digest needs --challenge, --method and --uri");
  }
  sip::DigestResult result = sip::computeDigest(challenge, method, uri, user, password);
  if (!result.ok) {
    std::fprintf(stderr, "quillet-tool: not a Digest challenge\n");
    return kExitRejected;
  }
  if (asJson) {
    sip::DigestChallenge parsed;
    sip::readChallenge(challenge, parsed);
    // The response sent (with qop it depends on the cnonce drawn for these credentials).
    const std::string& text = result.credentials;
    const size_t at = text.find("response=\"") + 10;
    const std::string response = text.substr(at, text.find('"', at) - at);
    print({{"credentials", result.credentials},
           {"stale", result.stale},
           {"realm", parsed.realm},
           {"nonce", parsed.nonce},
           {"opaque", parsed.opaque},
           {"response", response}});
  } else {
    std::printf("%s\n", result.credentials.c_str());
  }
  return kExitOk;
}

// The targets of a URI in the order to try them, or why there are none.
int resolveCommand(const Args& args) {
  std::optional<sip::TransportKind> forced;
  if (args.size() == 4 && args[2] == "--transport") {
    forced = sip::transportFromName(args[3]);
    if (!forced) return usage("--transport takes udp, tcp or tls");
  } else if (args.size() != 2) {
    return usage("sip resolve takes one URI");
  }
  base::LogWriter::instance().setEchoToStderr(true);  // e.g. a reply with too many records
  sip::ServerLocator locator;
  const sip::LocateResult result = locator.locate(args[1], forced, nullptr);
  nlohmann::ordered_json out{{"uri", args[1]}};  // keys in the order written
  if (result.targets.empty()) {
    out["error"] = result.error;
  } else {
    out["targets"] = nlohmann::ordered_json::array();
    for (const sip::ServerTarget& t : result.targets) {
      out["targets"].push_back({{"transport", sip::paramName(t.transport)},
                                {"address", t.address},
                                {"port", t.port},
                                {"source", t.source}});
    }
  }
  std::printf("%s\n", out.dump(2, ' ', false, json::error_handler_t::replace).c_str());
  return result.targets.empty() ? kExitRejected : kExitOk;
}

}  // namespace

int runSip(const Args& args) {
  if (args.empty()) return usage("sip needs a subcommand");
  const std::string& command = args[0];
  if (command == "parse") return parseCommand(args);
  if (command == "uri") return uriCommand(args);
  if (command == "nameaddr") return nameAddrCommand(args);
  if (command == "dial") return dialCommand(args);
  if (command == "digest") return digestCommand(args);
  if (command == "tls") return runSipTls(args);
  if (command == "resolve") return resolveCommand(args);
  return usage("unknown sip subcommand '" + command + "'");
}

}  // namespace quillet::tool
