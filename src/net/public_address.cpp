// Public address resolution without network services: public local address, static
// mapping, or the private address.
#include "net/public_address.h"

#include <arpa/inet.h>

namespace quillet::net {

bool parseIpv4(const std::string& text, uint32_t& address) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  address = parsed.s_addr;
  return true;
}

bool isPrivateIpv4(uint32_t address) {
  uint32_t host = ntohl(address);
  uint32_t a = host >> 24, b = (host >> 16) & 0xFF;
  return a == 10 || (a == 172 && b >= 16 && b <= 31) || (a == 192 && b == 168) ||
         (a == 169 && b == 254) || (a == 127 && b == 0);
}

PublicAddress LocalPublicAddressResolver::resolve(const PublicAddressRequest& request) {
  clearedActive_ = false;
  message_.clear();
  PublicAddress result{request.privateAddress, request.privatePort, true};
  uint32_t address = 0;
  // An address that is not private (or not an address at all) is taken as public.
  if (!parseIpv4(request.privateAddress, address) || !isPrivateIpv4(address)) {
    result.nat = false;
    return result;
  }
  bool done = false;
  bool staticApplies = false;
  if (settings_.staticMapping) {
    settings_.active = false;
    clearedActive_ = true;
    staticApplies = true;
    if (!settings_.staticPublicIp.empty()) {
      result.address = settings_.staticPublicIp;
      done = true;
    }
  }
  // STUN, UPnP and the HTTP lookup would be tried here, in this order.
  if (!done && (settings_.staticMapping || settings_.stun || settings_.http || settings_.upnp)) {
    message_ = "Unable to auto-detect public IP. Using private IP";
  }
  if (staticApplies) {
    result.port =
        static_cast<uint16_t>(request.privatePort - request.portBase + request.staticPortBase);
    result.nat = false;
  }
  return result;
}

}  // namespace quillet::net
