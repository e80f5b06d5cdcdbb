// SPDX-License-Identifier: Apache-2.0
// Public address resolution in the order static mapping, STUN, UPnP, HTTP lookup, and the
// local address towards a peer.
#include "net/public_address.h"

#include <sys/socket.h>

#include "base/log.h"
#include "base/net_facts.h"
#include "net/http_client.h"
#include "net/upnp_client.h"
#include "platform/socket.h"

namespace quillet::net {

NatSettings NatSettings::load(base::SettingsStore& store) {
  NatSettings s;
  s.staticMapping = store.readBool("SIP", "STATIC", false);
  s.staticPublicIp = store.readText("SIP", "STATICPublicIP");
  s.stun = store.readBool("SIP", "STUN", true);
  s.stunServers.first = store.readText("SIP", "STUNServer1", s.stunServers.first);
  s.stunServers.second = store.readText("SIP", "STUNServer2", s.stunServers.second);
  s.upnp = store.readBool("SIP", "UPNP", false);
  s.http = store.readBool("SIP", "HTTP", false);
  s.httpServer = store.readText("SIP", "HTTPServer", s.httpServer);
  s.active = store.readBool("SIP", "Active", false);
  return s;
}

PublicAddress NatResolver::resolve(const PublicAddressRequest& request) {
  clearedActive_ = false;
  PublicAddress result{request.privateAddress, request.privatePort, true};
  uint32_t address = 0;
  // An address that is not private (or not an address at all) is taken as public.
  if (!platform::parseDottedQuad(request.privateAddress, address) ||
      !base::isPrivateAddress(address)) {
    result.nat = false;
    return result;
  }
  bool done = false;
  bool staticApplies = false;
  bool active = settings_.active;
  if (settings_.staticMapping) {
    active = false;
    clearedActive_ = settings_.active;
    staticApplies = true;
    if (!settings_.staticPublicIp.empty()) {
      result.address = settings_.staticPublicIp;
      done = true;
    }
  }
  if (!done && !active && settings_.stun) {
    StunMapping mapped;
    const NetResult r = stunResolve(request.stop, request.socket, request.privatePort,
                                    settings_.stunServers, mapped);
    if (r == NetResult::Done) {
      result.address = mapped.address;
      result.port = mapped.port;
    }
    done = r != NetResult::Failed;
  }
  if (!done && settings_.upnp) {
    const auto step = static_cast<uint16_t>(platform::ipv4Byte(address, 3) * request.portStep);
    const auto externalPort = static_cast<uint16_t>(request.privatePort + step);
    UpnpResult mapping;
    const NetResult r = upnpMapPort(request.stop, request.socket, request.privateAddress,
                                    request.privatePort, externalPort, "UDP", mapping);
    if (r == NetResult::Done) {
      result.address = mapping.externalAddress;
      result.port = externalPort;
      result.nat = false;
      done = true;
    } else if (r == NetResult::Failed) {
      base::logError("Unable to use UPnP for NAT routing (UPnP failed)");
    } else {
      done = true;
    }
    if (mapping.refused) {
      base::logError(
          "Error: UPnP NAT routing is disabled on the server or router. Please see Help for "
          "how to enable it.");
    }
  }
  if (!done && settings_.http) {
    if (std::optional<std::string> found = httpLookupAddress(request.stop, settings_.httpServer)) {
      result.address = *found;
      result.nat = false;
      done = true;
    } else {
      base::logError("HTTP Lookup of IP address failed");
    }
  }
  if (!done && (settings_.staticMapping || settings_.stun || settings_.http || settings_.upnp)) {
    base::logInfo("Unable to auto-detect public IP. Using private IP");
  }
  if (staticApplies) {
    result.port =
        static_cast<uint16_t>(request.privatePort - request.portBase + request.staticPortBase);
    result.nat = false;
  }
  return result;
}

}  // namespace quillet::net
