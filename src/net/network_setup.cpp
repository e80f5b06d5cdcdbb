// SPDX-License-Identifier: Apache-2.0
// The networking test: firewall check of the RTP and SIP ports, the STUN server choice and
// the NAT filtering test, the UPnP check, and the settings they leave.
#include "net/network_setup.h"

#include <algorithm>
#include <cerrno>
#include <string>

#include "base/log.h"
#include "base/net_facts.h"
#include "net/stun_client.h"
#include "net/upnp_client.h"
#include "platform/tick.h"

namespace quillet::net {

using platform::NetResult;

namespace {

// IPv6 needs no address translation: the probes below are for IPv4 alone.
void logIpv6Facts() {
  const std::vector<std::string> addresses = base::ipv6Addresses();
  if (addresses.empty()) {
    base::logInfo("IPv6: no global address on this computer");
    return;
  }
  for (const std::string& address : addresses) base::logInfo("IPv6 address is: ", address);
  base::logInfo("IPv6 has no NAT: STUN and UPnP are used for IPv4 only");
}

void say(NetworkTestHost& host, std::string_view text) {
  base::logInfo(text);
  host.setStatus(text);
}

NetResult firewallCheck(NetworkTestHost& host, int socket, uint16_t port) {
  const std::vector<std::string> servers = host.stunServers();
  for (;;) {
    for (size_t i = 0; i < servers.size() && i < 4; ++i) {
      StunMapping mapped;
      const NetResult r = stunBinding(host.cancelEvent(), servers[i], socket, mapped);
      if (r != NetResult::Failed) return r;
    }
    const platform::PromptAnswer answer = host.prompts().ask(
        {"Firewall Blocking Ports",
         "Your handheld seems to be blocking UDP port " + std::to_string(port) +
             " (or internet connection is down).\r\nPlease check you are connected to the "
             "network then click Yes to try again.",
         platform::PromptButtons::YesNo, platform::PromptIcon::Question, "firewall"});
    if (answer == platform::PromptAnswer::No) return NetResult::Failed;
    if (answer != platform::PromptAnswer::Yes) return NetResult::Cancelled;
  }
}

NetResult upnpCheck(NetworkTestHost& host, int socket, uint16_t sipPort,
                    const std::string& localAddress) {
  base::SettingsStore& store = host.settings();
  say(host, "Checking for a UPnP NAT");
  const uint32_t lan = base::lanAddress();
  const auto externalPort = static_cast<uint16_t>(sipPort + platform::ipv4Byte(lan, 3));
  UpnpResult mapping;
  const NetResult r =
      upnpMapPort(host.cancelEvent(), socket, localAddress, sipPort, externalPort, "UDP", mapping);
  if (r == NetResult::Cancelled) return r;
  if (r == NetResult::Done) {
    base::logInfo("UPnP NAT or router found");
    base::logInfo("External IP is: ", mapping.externalAddress);
    store.writeBool("SIP", "UPNP", true);
    store.writeBool("SIP", "STUN", false);
    store.writeBool("SIP", "Active", false);
    return r;
  }
  base::logInfo(mapping.refused ? "UPnP configuration of the firewall is disabled on the "
                                  "server. It should be enabled. See Help for how to do this."
                                : "No UPnP NAT or router found");
  store.writeBool("SIP", "UPNP", false);
  return r;
}

}  // namespace

std::vector<std::string> NetworkTestHost::stunServers() {
  return builtInStunServers();
}

namespace {

// Servers by the time their binding took, fastest first.
struct Timed {
  std::string server;
  uint32_t ms = 0;
};
void keepFastestTwo(std::vector<Timed>& two, Timed next) {
  two.push_back(std::move(next));
  std::stable_sort(two.begin(), two.end(),
                   [](const Timed& a, const Timed& b) { return a.ms < b.ms; });
  if (two.size() > 2) two.pop_back();
}

}  // namespace

NetResult chooseStunServers(NetworkTestHost& host, int socket) {
  base::SettingsStore& store = host.settings();
  say(host, "Checking with STUN");
  std::vector<Timed> fastest;  // the two to use
  std::vector<Timed> judges;   // the two fastest that can answer a change request
  for (const std::string& server : host.stunServers()) {
    const uint32_t start = platform::tickMs();
    StunMapping mapped;
    const NetResult r = stunBinding(host.cancelEvent(), server, socket, mapped);
    if (r == NetResult::Cancelled) return r;
    if (r != NetResult::Done) continue;
    const Timed timed{server, platform::tickMs() - start};
    keepFastestTwo(fastest, timed);
    if (mapped.canTestFiltering) keepFastestTwo(judges, timed);
  }
  if (fastest.empty()) {
    base::logInfo("No STUN replies - possibly network is down");
    store.writeBool("SIP", "STUN", false);
    return NetResult::Failed;
  }
  // Only a server that names another address of its own (CHANGED-ADDRESS, OTHER-ADDRESS)
  // answers a change request from there; the silence of any other says nothing of the NAT.
  if (judges.empty()) {
    base::logInfo("No STUN server here can test the NAT's filtering; STUN stays on.");
  } else {
    NetResult r = stunChangeTest(host.cancelEvent(), judges[0].server, socket);
    if (r == NetResult::Failed && judges.size() > 1) {
      r = stunChangeTest(host.cancelEvent(), judges[1].server, socket);
    }
    if (r == NetResult::Cancelled) return r;
    if (r == NetResult::Failed) {
      base::logInfo("NAT is symmetric so STUN will not work.");
      store.writeBool("SIP", "STUN", false);
      return r;
    }
  }
  store.writeBool("SIP", "STUN", true);
  store.writeBool("SIP", "Active", false);
  store.writeText("SIP", "STUNServer1", fastest[0].server);
  store.writeText("SIP", "STUNServer2", fastest.back().server);
  return NetResult::Done;
}

namespace {

// The ports, the STUN servers and the router, once the transport is out of the way:
// 0 finished, 1 cancelled.
int probeNetwork(NetworkTestHost& host) {
  base::SettingsStore& store = host.settings();
  say(host, "Opening Internet Ports");

  const int32_t rtpBase = store.readInt("SIP", "RTPPortBase", 8000);
  for (int32_t port = rtpBase; port <= rtpBase + 9 && port > 0 && port < 65535; ++port) {
    platform::UniqueFd socket;
    if (!platform::bindUdp(socket, static_cast<uint16_t>(port))) continue;  // in use: skipped
    const NetResult r = firewallCheck(host, socket.get(), static_cast<uint16_t>(port));
    if (r == NetResult::Cancelled) return 1;
    if (r == NetResult::Failed) break;
  }

  int32_t sipPort = store.readInt("SIP", "Port", 5070);
  if (sipPort <= 0 || sipPort > 65535) sipPort = 5070;
  platform::UniqueFd sip;
  while (!platform::bindUdp(sip, static_cast<uint16_t>(sipPort))) {
    if (errno != EADDRINUSE) break;
    base::logInfo("Port " + std::to_string(sipPort) +
                  " (UDP) is being used by another program - trying another port");
    if (++sipPort >= 65535) {
      sipPort = 5070;
      break;
    }
  }
  if (sip) {
    if (firewallCheck(host, sip.get(), static_cast<uint16_t>(sipPort)) == NetResult::Cancelled) {
      return 1;
    }
    base::logInfo("Sip Port " + std::to_string(sipPort) + " (UDP) opened OK");
  }
  store.writeInt("SIP", "Port", sipPort);
  host.setProgress(0.3);

  const std::string local = base::localAddress();
  base::logInfo("Local network IP is: ", local);
  logIpv6Facts();
  uint32_t localAddress = 0;
  platform::parseDottedQuad(local, localAddress);
  if (base::isPrivateAddress(localAddress)) {
    base::logInfo(
        "This computer is connected to Internet over a network using a NAT, router or Internet "
        "Connection Sharing");
    NetResult r = chooseStunServers(host, sip.get());
    if (r == NetResult::Cancelled) return 1;
    if (r == NetResult::Failed) {
      host.setProgress(0.6);
      r = upnpCheck(host, sip.get(), static_cast<uint16_t>(sipPort), local);
      if (r == NetResult::Cancelled) return 1;
      if (r == NetResult::Failed) {
        base::logInfo(
            "Because NAT or router is 'symmetric' networking will be slow unless you setup NAT "
            "manually");
        store.writeBool("SIP", "Active", true);
        host.prompts().ask(
            {"Manual Router Setup Required",
             "A 'symmetric' NAT or router has been detected between this computer and the "
             "internet. This means audio cannot be routed to this computer automatically. You "
             "(or your Network Administrator) are strongly advised to manually setup RTP/UDP "
             "redirection at the router or NAT otherwise audio may be delayed, low quality or "
             "broken. See the manual topic \"Networking\" for more.",
             platform::PromptButtons::OkCancel, platform::PromptIcon::Question, "symmetric"});
      }
    }
  } else {
    base::logInfo("This computer connects to Internet directly");
    base::logInfo("External IP is: ", local);
    store.writeBool("SIP", "UPNP", false);
    store.writeBool("SIP", "STUN", false);
    store.writeBool("SIP", "Active", false);
  }
  base::logInfo("SIP Network Tool finished");
  return 0;
}

}  // namespace

int runNetworkingTest(NetworkTestHost& host) {
  base::SettingsStore& store = host.settings();
  base::logInfo("Running SIP Network Tool");
  host.setTitle("Testing Networking for SIP");
  if (store.readBool("SIP", "STATIC", false)) {
    host.prompts().inform({"Error",
                           "This wizard does not work if you have manually setup a STATIC IP or "
                           "port mapping. Turn Static IP mapping off and run this again.",
                           platform::PromptButtons::Ok, platform::PromptIcon::Warning, "static"});
    return 2;
  }
  base::attemptConnect();
  say(host, "Checking Internet is Connected...");
  if (!base::internetConnected()) {
    host.prompts().inform(
        {"Error",
         "Internet is not Connected!\r\n\r\nPlease connect to the Internet and select the \"Run "
         "Networking Setup Wizard\" item from the menu to run this wizard again.",
         platform::PromptButtons::Ok, platform::PromptIcon::Warning, "offline"});
    return 2;
  }
  base::logInfo("Internet is Connected");
  host.setProgress(0.05);
  const bool restart = host.transportRunning();
  if (restart) {
    say(host, "Stopping SIP Engine");
    host.stopTransport();
  }
  host.setProgress(0.1);
  const int result = probeNetwork(host);
  // A cancelled test too leaves the transport as it found it.
  if (restart) {
    say(host, "Restarting SIP Engine");
    host.restartTransport();
  }
  return result;
}

}  // namespace quillet::net
