// SPDX-License-Identifier: Apache-2.0
// Public address resolution: which address and port a peer must send to in order to reach
// one of our UDP sockets (static mapping, STUN, UPnP, HTTP lookup, in that order), and the
// local address that routes towards a peer.
#pragma once

#include <cstdint>
#include <string>

#include "base/settings_store.h"
#include "net/stun_client.h"
#include "platform/event.h"

namespace quillet::net {

// What a socket asks about itself.
struct PublicAddressRequest {
  std::string privateAddress;       // our local address, dotted quad
  uint16_t privatePort = 0;         // the port the socket is bound to
  int socket = -1;                  // the socket itself (STUN and UPnP probe through it)
  uint16_t portStep = 1;            // 1 for SIP, 16 for RTP (spreads UPnP mappings per host)
  uint16_t staticPortBase = 0;      // public port base of the static mapping
  uint16_t portBase = 0;            // the local port base the private port counts from
  platform::Event* stop = nullptr;  // the asking worker's stop event (may be null)
};

struct PublicAddress {
  std::string address;
  uint16_t port = 0;
  bool nat = true;  // false when the address is public or the mapping is known
};

// The network settings the resolution follows (section "SIP").
struct NatSettings {
  bool staticMapping = false;  // "STATIC"
  std::string staticPublicIp;  // "STATICPublicIP"
  bool stun = true;            // "STUN"
  StunServers stunServers{builtInStunServers()[0], builtInStunServers()[1]};
  bool upnp = false;                            // "UPNP"
  bool http = false;                            // "HTTP"
  std::string httpServer = kDefaultHttpServer;  // "HTTPServer": host and path
  bool active = false;                          // "Active": symmetric NAT, STUN is skipped

  static constexpr const char* kDefaultHttpServer = "api.ipify.org/";
  static NatSettings load(base::SettingsStore& store);
};

class PublicAddressResolver {
 public:
  virtual ~PublicAddressResolver() = default;
  virtual PublicAddress resolve(const PublicAddressRequest& request) = 0;
};

// The resolution by the settings: a public local address answers itself; then the static
// mapping, STUN (unless "Active"), UPnP and the HTTP lookup, each falling through to the
// next, with their log lines; the static mapping shifts the port from the local to the
// static base.
class NatResolver : public PublicAddressResolver {
 public:
  explicit NatResolver(NatSettings settings) : settings_(std::move(settings)) {}
  PublicAddress resolve(const PublicAddressRequest& request) override;

  // True when the static mapping cleared "Active" (the caller stores that setting).
  bool clearedActive() const { return clearedActive_; }

 private:
  NatSettings settings_;
  bool clearedActive_ = false;
};

}  // namespace quillet::net
