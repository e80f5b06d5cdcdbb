// SPDX-License-Identifier: Apache-2.0
// UPnP port mapping on an Internet Gateway Device: SSDP discovery from the socket to be
// mapped, the description fetch, the SOAP actions of the WAN connection services, and the
// text searches that read their replies.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/event.h"
#include "platform/socket.h"

namespace quillet::net {

using platform::NetResult;

// One service of a gateway: the description's host (with its port), the service name
// ("WANIPConnection:1") and its control URL.
struct UpnpService {
  std::string host;
  std::string name;
  std::string controlUrl;
};

struct UpnpResult {
  std::string externalAddress;
  bool refused = false;  // a router answered AddPortMapping with a SOAP fault
};

// Maps externalPort (protocol "UDP" or "TCP") to internalClient:internalPort. Discovery
// goes out of `socket`; gives up after 10 silent seconds.
NetResult upnpMapPort(platform::Event* stop, int socket, const std::string& internalClient,
                      uint16_t internalPort, uint16_t externalPort, std::string_view protocol,
                      UpnpResult& result);

// One SOAP action on a service: the raw reply (headers are not parsed), at most 8191 bytes.
NetResult soapAction(platform::Event* stop, const UpnpService& service, std::string_view action,
                     std::string_view arguments, std::string& reply, int32_t timeoutMs);

// The texts of the exchange.
extern const char kSsdpSearch[];
std::string soapBody(std::string_view service, std::string_view action, std::string_view arguments);
std::string addPortMappingArguments(uint16_t externalPort, std::string_view protocol,
                                    uint16_t internalPort, std::string_view internalClient);

// Reading the replies. The LOCATION header of a discovery answer (any case), the rest of
// its line; the service's control URL in a description; the text after "<NAME" up to the
// next "<" (at most 259 characters), and that element's value after its ">".
std::optional<std::string> ssdpLocation(std::string_view reply);
std::optional<UpnpService> findUpnpService(std::string_view description, std::string_view host,
                                           std::string_view serviceName);
std::optional<std::string> elementText(std::string_view text, std::string_view name);
std::optional<std::string> elementValue(std::string_view text, std::string_view name);

// The service steps on one description (connection type, NAT state, external address,
// AddPortMapping). True when the mapping was made.
bool upnpServiceSteps(platform::Event* stop, std::string_view description,
                      std::string_view descriptionHost, std::string_view serviceName,
                      const std::string& internalClient, uint16_t internalPort,
                      uint16_t externalPort, std::string_view protocol, UpnpResult& result,
                      bool& cancelled);

}  // namespace quillet::net
