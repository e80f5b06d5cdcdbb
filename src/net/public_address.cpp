// Public address resolution without network services: public local address, static
// mapping, or the private address.
#include "net/public_address.h"

#include "base/net_facts.h"
#include "platform/socket.h"

namespace quillet::net {

PublicAddress LocalPublicAddressResolver::resolve(const PublicAddressRequest& request) {
  clearedActive_ = false;
  message_.clear();
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
