// Address helpers of the media session: a host text to an IPv4 address, and whether
// a host is on a private network.
#pragma once

#include <cstdint>
#include <string>

namespace quillet::media {

// A dotted quad directly, anything else through a name lookup; 0 when it fails.
// The result is in network byte order.
uint32_t resolveIpv4(const std::string& host);

// True when the host resolves to a private address (10/8, 172.16/12, 192.168/16,
// 169.254/16, 127.0.x.x).
bool isPrivateHost(const std::string& host);

// "a.b.c.d" of an address in network byte order.
std::string ipv4Text(uint32_t address);

}  // namespace quillet::media
