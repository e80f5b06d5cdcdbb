// SPDX-License-Identifier: Apache-2.0
// quillet-tool stun, upnp, resolve and network-test: the NAT traversal building blocks on a
// socket of the tool's own, against the servers given or the profile's settings.
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "base/log.h"
#include "base/net_facts.h"
#include "base/settings_store.h"
#include "net/network_setup.h"
#include "net/public_address.h"
#include "net/stun_client.h"
#include "net/upnp_client.h"
#include "platform/paths.h"
#include "platform/socket.h"
#include "tool.h"

namespace quillet::tool {

namespace {

using platform::NetResult;

void printJson(const nlohmann::json& json) {
  std::cout << json.dump() << "\n";
}

// A UDP socket on all interfaces at `port` (0: any); reports a port that cannot be bound.
bool openSocket(int port, platform::UniqueFd& socket) {
  if (platform::bindUdp(socket, static_cast<uint16_t>(port))) return true;
  std::fprintf(stderr, "quillet-tool: cannot bind UDP port %d\n", port);
  return false;
}

// Reads "--port N" style options after the positional arguments.
bool takeNumberOption(const Args& args, size_t& i, const char* name, int low, int high, int& out,
                      bool& bad) {
  if (args[i] != name) return false;
  if (i + 1 >= args.size() || !parseNumber(args[i + 1], low, high, out)) bad = true;
  ++i;
  return true;
}

void useProfile() {
  const platform::ProfilePaths paths = platform::profilePaths();
  base::SettingsStore::setGlobalFiles(paths.settingsFile, paths.machineSettingsFile);
  base::LogWriter::instance().setEchoToStderr(true);
}

int stun(const Args& args) {
  if (args.empty()) return usageError("stun SERVER[:PORT] [--change] [--port LOCALPORT]");
  bool change = false;
  bool bad = false;
  int port = 0;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--change") {
      change = true;
    } else if (!takeNumberOption(args, i, "--port", 0, 65535, port, bad)) {
      bad = true;
    }
  }
  if (bad) return usageError("stun SERVER[:PORT] [--change] [--port LOCALPORT]");
  platform::UniqueFd socket;
  if (!openSocket(port, socket)) return kExitRejected;
  const uint16_t local = platform::localEndpoint(socket.get()).port;
  if (change) {
    const NetResult r = net::stunChangeTest(nullptr, args[0], socket.get());
    // A reply from the server's other address got through: the NAT does not filter by
    // address; none means it does (or the server has no second address).
    printJson({{"server", args[0]},
               {"localPort", local},
               {"replyFromOtherAddress", r == NetResult::Done},
               {"filtered", r != NetResult::Done}});
    return kExitOk;
  }
  net::StunMapping mapped;
  if (net::stunBinding(nullptr, args[0], socket.get(), mapped) != NetResult::Done) {
    printJson({{"server", args[0]}, {"localPort", local}, {"result", "failed"}});
    return kExitRejected;
  }
  printJson({{"server", args[0]},
             {"localPort", local},
             {"result", "mapped"},
             {"address", mapped.address},
             {"port", mapped.port}});
  return kExitOk;
}

int upnp(const Args& args) {
  const char* usage = "upnp map PORT [--external PORT] [--client ADDRESS]";
  int port = 0;
  if (args.size() < 2 || args[0] != "map" || !parseNumber(args[1], 1, 65535, port)) {
    return usageError(usage);
  }
  useProfile();
  std::string client = platform::ipv4ToString(base::lanAddress());
  int external = port + platform::ipv4Byte(base::lanAddress(), 3);
  bool bad = false;
  for (size_t i = 2; i < args.size(); ++i) {
    if (args[i] == "--client" && i + 1 < args.size()) {
      client = args[++i];
    } else if (!takeNumberOption(args, i, "--external", 1, 65535, external, bad)) {
      bad = true;
    }
  }
  if (bad) return usageError(usage);
  platform::UniqueFd socket;
  if (!openSocket(port, socket)) return kExitRejected;
  net::UpnpResult result;
  const NetResult r = net::upnpMapPort(nullptr, socket.get(), client, static_cast<uint16_t>(port),
                                       static_cast<uint16_t>(external), "UDP", result);
  printJson({{"result", r == NetResult::Done ? "mapped" : "failed"},
             {"internalClient", client},
             {"internalPort", port},
             {"externalPort", external},
             {"externalAddress", result.externalAddress},
             {"refused", result.refused}});
  return r == NetResult::Done ? kExitOk : kExitRejected;
}

// The public address of a socket at PORT by the profile's settings, as the SIP transport
// (step 1) or an RTP session (--rtp: step 16) asks for it.
int resolve(const Args& args) {
  const char* usage = "resolve PORT [--rtp] [--private ADDRESS] [--times N]";
  int port = 0;
  if (args.empty() || !parseNumber(args[0], 1, 65535, port)) return usageError(usage);
  bool rtp = false;
  bool bad = false;
  int times = 1;
  std::string privateAddress;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--rtp") {
      rtp = true;
    } else if (args[i] == "--private" && i + 1 < args.size()) {
      privateAddress = args[++i];
    } else if (!takeNumberOption(args, i, "--times", 1, 100, times, bad)) {
      bad = true;
    }
  }
  if (bad) return usageError(usage);
  useProfile();
  base::SettingsStore& store = base::SettingsStore::global();
  if (privateAddress.empty()) privateAddress = platform::ipv4ToString(base::lanAddress());
  platform::UniqueFd socket;
  if (!openSocket(port, socket)) return kExitRejected;
  net::PublicAddressRequest request;
  request.privateAddress = privateAddress;
  request.privatePort = static_cast<uint16_t>(port);
  request.socket = socket.get();
  request.portStep = rtp ? 16 : 1;
  request.staticPortBase =
      static_cast<uint16_t>(rtp ? store.readInt("SIP", "STATICRTPPortBase", 8000)
                                : store.readInt("SIP", "STATICSIPPort", 5070));
  request.portBase = static_cast<uint16_t>(rtp ? store.readInt("SIP", "RTPPortBase", 8000)
                                               : store.readInt("SIP", "Port", 5070));
  // Repeated resolutions in one process show the lasting state (the STUN server switch).
  for (int i = 0; i < times; ++i) {
    net::NatResolver resolver(net::NatSettings::load(store));
    const net::PublicAddress found = resolver.resolve(request);
    if (resolver.clearedActive()) store.writeBool("SIP", "Active", false);
    printJson({{"privateAddress", privateAddress},
               {"privatePort", port},
               {"address", found.address},
               {"port", found.port},
               {"nat", found.nat}});
  }
  return kExitOk;
}

// Message boxes on the terminal, answered by a fixed policy: questions that would repeat
// (the firewall check) are answered No, the rest OK.
class TerminalPrompts : public platform::Prompts {
 public:
  platform::PromptAnswer ask(const platform::Prompt& prompt) override {
    show(prompt);
    return prompt.buttons == platform::PromptButtons::YesNo ? platform::PromptAnswer::No
                                                            : platform::PromptAnswer::Ok;
  }
  void inform(const platform::Prompt& prompt) override { show(prompt); }
  void dismissAll(platform::PromptAnswer) override {}
  void dismiss(const std::string&, platform::PromptAnswer) override {}
  int openCount() const override { return 0; }

 private:
  static void show(const platform::Prompt& prompt) {
    printJson({{"prompt", prompt.title}, {"text", prompt.text}});
  }
};

class ToolTestHost : public net::NetworkTestHost {
 public:
  explicit ToolTestHost(std::vector<std::string> servers) : servers_(std::move(servers)) {}
  base::SettingsStore& settings() override { return base::SettingsStore::global(); }
  platform::Prompts& prompts() override { return prompts_; }
  void setTitle(std::string_view text) override { printJson({{"title", text}}); }
  void setStatus(std::string_view text) override { printJson({{"status", text}}); }
  void setProgress(double fraction) override { printJson({{"progress", fraction}}); }
  std::vector<std::string> stunServers() override {
    return servers_.empty() ? net::NetworkTestHost::stunServers() : servers_;
  }

 private:
  TerminalPrompts prompts_;
  std::vector<std::string> servers_;
};

// True when an instance answers on the profile's control socket: its SIP port would look
// taken, and the test would move the profile to another port.
bool instanceRunning(const std::string& path) {
  platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (!fd || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

int networkTest(const Args& args) {
  const char* usage = "network-test [--stun-servers HOST[:PORT],...]";
  std::vector<std::string> servers;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--stun-servers" && i + 1 < args.size()) {
      const std::string& list = args[++i];
      size_t start = 0;
      while (start <= list.size()) {
        const size_t comma = std::min(list.find(',', start), list.size());
        if (comma > start) servers.push_back(list.substr(start, comma - start));
        start = comma + 1;
      }
    } else {
      return usageError(usage);
    }
  }
  if (instanceRunning(platform::profilePaths().controlSocket())) {
    std::fprintf(stderr,
                 "quillet-tool: a running quillet uses this profile; close it before the "
                 "networking test\n");
    return kExitRejected;
  }
  useProfile();
  ToolTestHost host(servers);
  const int result = net::runNetworkingTest(host);
  printJson({{"result", result}});
  return result == 0 ? kExitOk : kExitRejected;
}

}  // namespace

int runStun(const Args& args) {
  return stun(args);
}
int runUpnp(const Args& args) {
  return upnp(args);
}
int runResolve(const Args& args) {
  return resolve(args);
}
int runNetworkTest(const Args& args) {
  return networkTest(args);
}

}  // namespace quillet::tool
