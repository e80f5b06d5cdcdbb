// SPDX-License-Identifier: Apache-2.0
// UPnP port mapping: discovery, description, SOAP control and the searches in their texts.
#include "net/upnp_client.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "base/net_facts.h"
#include "net/http_client.h"
#include "platform/socket_errors.h"
#include "platform/tick.h"

namespace quillet::net {

namespace {

constexpr size_t kTextMax = 259;
constexpr size_t kReplyMax = 8191;
constexpr size_t kBodyMax = 4095;
constexpr int32_t kSoapTimeoutMs = 3000;
constexpr int32_t kDiscoveryGiveUpMs = 10000;
constexpr int32_t kDiscoveryRepeatMs = 1000;
constexpr size_t kMaxErrorsTaken = 64;  // ICMP errors taken at a time

size_t findNoCase(std::string_view text, std::string_view what) {
  auto it = std::search(text.begin(), text.end(), what.begin(), what.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  });
  return it == text.end() ? std::string_view::npos : static_cast<size_t>(it - text.begin());
}

void sendSearch(int socket) {
  const platform::Endpoint group{platform::ipv4(239, 255, 255, 250), 1900};
  const std::string_view search(kSsdpSearch);
  platform::sendTo(socket, search.data(), search.size(), group);
}

}  // namespace

const char kSsdpSearch[] =
    "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\nMX: "
    "2\r\nST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n\r\n";

std::string soapBody(std::string_view service, std::string_view action,
                     std::string_view arguments) {
  std::string body;
  body +=
      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:";
  body += action;
  body += " xmlns:u=\"urn:schemas-upnp-org:service:";
  body += service;
  body += "\">";
  body += arguments;
  body += "</u:";
  body += action;
  body += "></s:Body></s:Envelope>";
  if (body.size() > kBodyMax) body.resize(kBodyMax);
  return body;
}

std::string addPortMappingArguments(uint16_t externalPort, std::string_view protocol,
                                    uint16_t internalPort, std::string_view internalClient) {
  const std::string proto(protocol);
  return "<NewRemoteHost></NewRemoteHost><NewExternalPort>" + std::to_string(externalPort) +
         "</NewExternalPort><NewProtocol>" + proto + "</NewProtocol><NewInternalPort>" +
         std::to_string(internalPort) + "</NewInternalPort><NewInternalClient>" +
         std::string(internalClient) +
         "</NewInternalClient><NewEnabled>1</NewEnabled><NewPortMappingDescription>Quillet " +
         proto + " Redirection</NewPortMappingDescription><NewLeaseDuration>0</NewLeaseDuration>";
}

std::optional<std::string> ssdpLocation(std::string_view reply) {
  const size_t at = findNoCase(reply, "LOCATION:");
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = reply.substr(at + 9);
  rest = rest.substr(0, rest.find_first_of("\r\n"));
  while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
  while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) rest.remove_suffix(1);
  if (rest.empty()) return std::nullopt;
  return std::string(rest.substr(0, kTextMax));
}

std::optional<UpnpService> findUpnpService(std::string_view description, std::string_view host,
                                           std::string_view serviceName) {
  const std::string type = "<serviceType>urn:schemas-upnp-org:service:" + std::string(serviceName);
  const size_t at = description.find(type);
  if (at == std::string_view::npos) return std::nullopt;
  const size_t control = description.find("<controlURL>", at);
  if (control == std::string_view::npos) return std::nullopt;
  std::string_view url = description.substr(control + 12);
  url = url.substr(0, std::min(url.find('<'), kTextMax));
  return UpnpService{std::string(host), std::string(serviceName), std::string(url)};
}

std::optional<std::string> elementText(std::string_view text, std::string_view name) {
  const size_t at = text.find(name);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = text.substr(at + name.size());
  return std::string(rest.substr(0, std::min(rest.find('<'), kTextMax)));
}

std::optional<std::string> elementValue(std::string_view text, std::string_view name) {
  std::optional<std::string> element = elementText(text, name);
  if (!element) return std::nullopt;
  const size_t close = element->find('>');
  if (close == std::string::npos) return std::nullopt;
  return element->substr(close + 1);
}

NetResult soapAction(platform::Event* stop, const UpnpService& service, std::string_view action,
                     std::string_view arguments, std::string& reply, int32_t timeoutMs) {
  reply.clear();
  const std::string body = soapBody(service.name, action, arguments);
  std::string request = "POST " + service.controlUrl + " HTTP/1.1\r\nHost: " + service.host +
                        "\r\nCONTENT-LENGTH: " + std::to_string(body.size()) +
                        "\r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"\r\nSOAPACTION: "
                        "\"urn:schemas-upnp-org:service:" +
                        service.name + "#" + std::string(action) + "\"\r\n\r\n" + body;
  if (request.size() > kReplyMax) request.resize(kReplyMax);
  platform::UniqueFd fd;
  NetResult result = tcpConnectHost(stop, service.host, kSoapTimeoutMs, fd);
  if (result != NetResult::Done) return result;
  result = tcpSendText(stop, fd.get(), request, timeoutMs);
  if (result != NetResult::Done) return result;
  return tcpReadAll(stop, fd.get(), kReplyMax, timeoutMs, reply);
}

bool upnpServiceSteps(platform::Event* stop, std::string_view description,
                      std::string_view descriptionHost, std::string_view serviceName,
                      const std::string& internalClient, uint16_t internalPort,
                      uint16_t externalPort, std::string_view protocol, UpnpResult& result,
                      bool& cancelled) {
  cancelled = false;
  const std::optional<UpnpService> service =
      findUpnpService(description, descriptionHost, serviceName);
  if (!service) return false;
  std::string reply;
  auto act = [&](std::string_view action, std::string_view arguments) {
    const NetResult r = soapAction(stop, *service, action, arguments, reply, kSoapTimeoutMs);
    if (r == NetResult::Cancelled) cancelled = true;
    return r == NetResult::Done;
  };
  if (!act("GetConnectionTypeInfo", "")) return false;
  const std::optional<std::string> type = elementText(reply, "<NewConnectionType");
  if (type && type->find("Unconfigured") != std::string::npos) return false;
  if (!act("GetNATRSIPStatus", "")) return false;
  const std::optional<std::string> nat = elementValue(reply, "<NewNATEnabled");
  if (nat && !nat->empty() && (nat->front() == '0' || nat->front() == 'F' || nat->front() == 'f')) {
    return false;
  }
  if (!act("GetExternalIPAddress", "")) return false;
  const std::optional<std::string> external = elementValue(reply, "<NewExternalIPAddress");
  if (!external) return false;
  result.externalAddress = *external;
  if (!act("AddPortMapping",
           addPortMappingArguments(externalPort, protocol, internalPort, internalClient))) {
    return false;
  }
  if (reply.find("<faultstring>") != std::string::npos) {
    result.refused = true;
    return false;
  }
  return true;
}

NetResult upnpMapPort(platform::Event* stop, int socket, const std::string& internalClient,
                      uint16_t internalPort, uint16_t externalPort, std::string_view protocol,
                      UpnpResult& result) {
  result = UpnpResult{};
  const uint32_t start = platform::tickMs();
  uint32_t lastSearch = start;
  sendSearch(socket);
  std::vector<char> datagram(kReplyMax);
  for (;;) {
    const uint32_t now = platform::tickMs();
    if (static_cast<int32_t>(now - start) >= kDiscoveryGiveUpMs) return NetResult::Failed;
    const int32_t sinceSearch = static_cast<int32_t>(now - lastSearch);
    if (sinceSearch >= kDiscoveryRepeatMs) {
      sendSearch(socket);
      lastSearch = now;
      continue;
    }
    const NetResult waited = platform::waitReadable(socket, kDiscoveryRepeatMs - sinceSearch, stop);
    if (waited == NetResult::Cancelled) return waited;
    if (waited == NetResult::Failed) continue;
    const int n = platform::recvFrom(socket, datagram.data(), datagram.size(), nullptr);
    // The socket may report ICMP errors (the SIP one does): taken, or the wait spins.
    if (n < 0) platform::takeSocketErrors(socket, kMaxErrorsTaken);
    if (n <= 0) continue;
    const std::optional<std::string> location =
        ssdpLocation(std::string_view(datagram.data(), static_cast<size_t>(n)));
    if (!location) continue;
    std::string description;
    const NetResult fetched = httpGet(stop, *location, description, 8192, 3000);
    if (fetched == NetResult::Cancelled) return fetched;
    if (description.empty()) continue;
    const std::string host = splitUrl(*location).host;
    bool cancelled = false;
    UpnpResult attempt;
    if (upnpServiceSteps(stop, description, host, "WANIPConnection:1", internalClient, internalPort,
                         externalPort, protocol, attempt, cancelled) &&
        base::resolveHost(attempt.externalAddress) != 0) {
      result.externalAddress = attempt.externalAddress;
      result.refused = result.refused || attempt.refused;
      return NetResult::Done;
    }
    result.refused = result.refused || attempt.refused;
    if (cancelled) return NetResult::Cancelled;
    attempt = UpnpResult{};
    const bool ppp = upnpServiceSteps(stop, description, host, "WANPPPConnection:1", internalClient,
                                      internalPort, externalPort, protocol, attempt, cancelled);
    result.refused = result.refused || attempt.refused;
    if (ppp) {
      result.externalAddress = attempt.externalAddress;
      return NetResult::Done;
    }
    if (cancelled) return NetResult::Cancelled;
  }
}

}  // namespace quillet::net
