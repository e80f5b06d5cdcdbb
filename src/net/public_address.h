// Public address resolution: which address and port a peer must send to in order to reach
// one of our UDP sockets.
#pragma once

#include <cstdint>
#include <string>

namespace quillet::net {

// What a socket asks about itself.
struct PublicAddressRequest {
  std::string privateAddress;   // our local address, dotted quad
  uint16_t privatePort = 0;     // the port the socket is bound to
  int socket = -1;              // the socket itself (for services that probe through it)
  uint16_t portStep = 1;        // 1 for SIP, 16 for RTP (spreads UPnP mappings per host)
  uint16_t staticPortBase = 0;  // public port base of the static mapping
  uint16_t portBase = 0;        // the local port base the private port counts from
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
  bool upnp = false;           // "UPNP"
  bool http = false;           // "HTTP"
  bool active = false;         // "Active": symmetric NAT, STUN is skipped
};

class PublicAddressResolver {
 public:
  virtual ~PublicAddressResolver() = default;
  virtual PublicAddress resolve(const PublicAddressRequest& request) = 0;
};

// The resolution without any network service. It covers: a local address that is itself
// public (answers itself, no NAT); the static mapping ("STATIC" with "STATICPublicIP", the
// port shifted from the local port base to the static base); otherwise the private address
// and port stand as the public ones. STUN, UPnP and the HTTP lookup are not part of this
// implementation: where the settings ask for them, it falls through as if each had failed
// and logs "Unable to auto-detect public IP. Using private IP".
class LocalPublicAddressResolver : public PublicAddressResolver {
 public:
  explicit LocalPublicAddressResolver(NatSettings settings) : settings_(std::move(settings)) {}
  PublicAddress resolve(const PublicAddressRequest& request) override;

  // True when the static mapping cleared "Active" (the caller stores that setting).
  bool clearedActive() const { return clearedActive_; }
  // The information line logged when nothing better than the private address was found,
  // or empty.
  const std::string& message() const { return message_; }

 private:
  NatSettings settings_;
  bool clearedActive_ = false;
  std::string message_;
};

}  // namespace quillet::net
