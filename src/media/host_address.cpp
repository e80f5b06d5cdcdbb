// Address helpers of the media session.
#include "media/host_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

namespace quillet::media {

uint32_t resolveIpv4(const std::string& host) {
  if (host.empty()) return 0;
  in_addr parsed{};
  if (inet_pton(AF_INET, host.c_str(), &parsed) == 1) return parsed.s_addr;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) return 0;
  uint32_t address = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(result);
  return address;
}

bool isPrivateHost(const std::string& host) {
  uint32_t address = ntohl(resolveIpv4(host));
  uint32_t a = address >> 24, b = (address >> 16) & 0xFF;
  return a == 10 || (a == 172 && b >= 16 && b <= 31) || (a == 192 && b == 168) ||
         (a == 169 && b == 254) || (a == 127 && b == 0);
}

std::string ipv4Text(uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr in{};
  in.s_addr = address;
  inet_ntop(AF_INET, &in, text, sizeof(text));
  return text;
}

}  // namespace quillet::media
