// SPDX-License-Identifier: Apache-2.0
// Classic STUN: binding and change transactions, the two-server resolution and the wire
// format of requests and responses.
#include "net/stun_client.h"

#include <arpa/inet.h>

#include <atomic>

#include "base/log.h"
#include "base/net_facts.h"
#include "platform/socket_errors.h"
#include "platform/tick.h"

namespace quillet::net {

namespace {

constexpr uint16_t kBindingRequest = 0x0001;
constexpr uint16_t kBindingResponse = 0x0101;
constexpr uint16_t kMappedAddress = 0x0001;
constexpr uint16_t kChangeRequest = 0x0003;
constexpr uint16_t kChangedAddress = 0x0005;  // RFC 3489
constexpr uint16_t kOtherAddress = 0x802C;    // RFC 5780
constexpr uint16_t kXorMappedAddress = 0x0020;
constexpr uint16_t kXorMappedAddressOld = 0x8020;  // pre-standard servers
constexpr uint32_t kMagicCookie = 0x2112A442;
constexpr size_t kHeaderSize = 20;
constexpr size_t kReceiveSize = 2048;
constexpr size_t kMaxErrorsTaken = 64;  // ICMP errors taken at a time

// Plain process-wide values; atomics so that a transport and a call thread may meet here.
std::atomic<uint32_t> transactionCounter{0x12345678};
std::atomic<bool> secondServerFirst{false};

uint16_t read16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t read32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void put16(std::vector<uint8_t>& out, size_t at, uint16_t value) {
  out[at] = static_cast<uint8_t>(value >> 8);
  out[at + 1] = static_cast<uint8_t>(value);
}

// An address attribute value: family byte 1 (IPv4) with port and address, network order.
std::optional<Endpoint> addressValue(const uint8_t* value, uint16_t length, bool xored) {
  if (length < 8 || value[1] != 1) return std::nullopt;
  uint16_t port = read16(value + 2);
  uint32_t address = read32(value + 4);
  if (xored) {
    port = static_cast<uint16_t>(port ^ (kMagicCookie >> 16));
    address ^= kMagicCookie;
  }
  return Endpoint{htonl(address), port};
}

struct Reply {
  Endpoint mapped;
  Endpoint from;
  bool otherAddress = false;
};

// Sends `request` up to `sends` times, each followed by a window of `windowMs` for an
// accepted answer. Done with the reply, Cancelled, or Failed after the last window.
NetResult transact(platform::Event* stop, const Endpoint& server, int socket,
                   const std::vector<uint8_t>& request, uint32_t transaction, int sends,
                   int32_t windowMs, Reply& reply) {
  std::vector<uint8_t> buffer(kReceiveSize);
  for (int attempt = 0; attempt < sends; ++attempt) {
    if (stop != nullptr && stop->isSet()) return NetResult::Cancelled;
    platform::sendTo(socket, request.data(), request.size(), server);
    const uint32_t sent = platform::tickMs();
    for (;;) {
      const int32_t left = windowMs - static_cast<int32_t>(platform::tickMs() - sent);
      if (left <= 0) break;
      const NetResult waited = platform::waitReadable(socket, left, stop);
      if (waited == NetResult::Cancelled) return NetResult::Cancelled;
      if (waited == NetResult::Failed) break;
      Endpoint from;
      const int n = platform::recvFrom(socket, buffer.data(), buffer.size(), &from);
      if (n < 0) {
        // The socket may report ICMP errors (the SIP one does): taken, or the wait spins.
        platform::takeSocketErrors(socket, kMaxErrorsTaken);
        continue;
      }
      bool otherAddress = false;
      std::optional<Endpoint> mapped =
          parseStunResponse(buffer.data(), static_cast<size_t>(n), transaction, &otherAddress);
      if (!mapped) continue;  // not ours, or not usable: the wait goes on
      reply.mapped = *mapped;
      reply.from = from;
      reply.otherAddress = otherAddress;
      return NetResult::Done;
    }
  }
  return NetResult::Failed;
}

bool resolveServer(std::string_view server, Endpoint& out) {
  out = base::resolveHostPort(server, kStunDefaultPort);
  return out.address != 0;
}

}  // namespace

std::vector<uint8_t> stunRequest(uint32_t transaction, bool changeIp) {
  std::vector<uint8_t> out(changeIp ? 28 : 20, 0);
  put16(out, 0, kBindingRequest);
  put16(out, 2, changeIp ? 8 : 0);
  // The RFC 5389 magic cookie: such servers then answer with XOR-MAPPED-ADDRESS, which
  // address-rewriting routers leave alone; classic servers echo it as part of the id.
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(kMagicCookie >> (24 - 8 * i));
  for (int i = 0; i < 4; ++i) out[8 + i] = static_cast<uint8_t>(transaction >> (8 * i));
  if (changeIp) {
    put16(out, 20, kChangeRequest);
    put16(out, 22, 4);
    out[27] = 4;  // change IP; the change-port flag stays clear
  }
  return out;
}

std::optional<Endpoint> parseStunResponse(const uint8_t* data, size_t size, uint32_t transaction,
                                          bool* otherAddress) {
  if (size < kHeaderSize || read16(data) != kBindingResponse) return std::nullopt;
  for (int i = 0; i < 4; ++i) {
    if (data[8 + i] != static_cast<uint8_t>(transaction >> (8 * i))) return std::nullopt;
  }
  size_t end = kHeaderSize + read16(data + 2);
  if (end > size) end = size;
  std::optional<Endpoint> xored;
  std::optional<Endpoint> mapped;
  bool mappedSeen = false;
  size_t at = kHeaderSize;
  while (end - at >= 4) {
    const uint16_t type = read16(data + at);
    size_t length = read16(data + at + 2);
    at += 4;
    if (length > end - at) length = end - at;
    const uint8_t* value = data + at;
    if (type == kMappedAddress && !mapped) {
      // The first MAPPED-ADDRESS too short rejects the whole response.
      if (length < 8 && !mappedSeen) return std::nullopt;
      mappedSeen = true;
      mapped = addressValue(value, static_cast<uint16_t>(length), false);
    } else if ((type == kXorMappedAddress || type == kXorMappedAddressOld) && !xored) {
      xored = addressValue(value, static_cast<uint16_t>(length), true);
    } else if ((type == kChangedAddress || type == kOtherAddress) && otherAddress != nullptr) {
      *otherAddress =
          *otherAddress || addressValue(value, static_cast<uint16_t>(length), false).has_value();
    }
    // Attributes are padded to four bytes in every STUN revision.
    at += (length + 3) & ~size_t{3};
    if (at > end) at = end;
  }
  return xored ? xored : mapped;
}

uint32_t nextStunTransaction() {
  return transactionCounter.fetch_add(1);
}

bool useSecondStunServer() {
  return secondServerFirst.load();
}

void setUseSecondStunServer(bool on) {
  secondServerFirst = on;
}

NetResult stunBinding(platform::Event* stop, std::string_view server, int socket,
                      StunMapping& mapped) {
  Endpoint to;
  if (!resolveServer(server, to)) return NetResult::Failed;
  const uint32_t transaction = nextStunTransaction();
  Reply reply;
  const NetResult result =
      transact(stop, to, socket, stunRequest(transaction, false), transaction, 3, 230, reply);
  if (result == NetResult::Done) {
    mapped.address = platform::ipv4ToString(reply.mapped.address);
    mapped.port = reply.mapped.port;
    mapped.canTestFiltering = reply.otherAddress;
  }
  return result;
}

NetResult stunChangeTest(platform::Event* stop, std::string_view server, int socket) {
  Endpoint to;
  if (!resolveServer(server, to)) return NetResult::Failed;
  const uint32_t transaction = nextStunTransaction();
  Reply reply;
  const NetResult result =
      transact(stop, to, socket, stunRequest(transaction, true), transaction, 4, 450, reply);
  if (result != NetResult::Done) return result;
  // An answer from the server's own address says nothing about the NAT's filtering.
  return reply.from.address == to.address ? NetResult::Failed : NetResult::Done;
}

NetResult stunResolve(platform::Event* stop, int socket, uint16_t localPort,
                      const StunServers& servers, StunMapping& mapped) {
  const std::string& first = useSecondStunServer() ? servers.second : servers.first;
  NetResult result = stunBinding(stop, first, socket, mapped);
  if (result != NetResult::Failed || first.empty()) return result;
  base::logError("STUN server failed: ", first);
  setUseSecondStunServer(!useSecondStunServer());
  const std::string& other = useSecondStunServer() ? servers.second : servers.first;
  result = stunBinding(stop, other, socket, mapped);
  if (result == NetResult::Failed) {
    base::logError("STUN server failed: ", other);
    base::logError("The internet connection could be down.");
    base::logError("Check local firewall is not blocking UDP port ", localPort);
    base::logError("Also check STUN settings or use different STUN servers.");
    setUseSecondStunServer(false);
  }
  return result;
}

const std::vector<std::string>& builtInStunServers() {
  static const std::vector<std::string> servers = {
      "stun.l.google.com:19302",  "stun1.l.google.com:19302", "stun2.l.google.com:19302",
      "stun3.l.google.com:19302", "stun4.l.google.com:19302", "stun.sipgate.net",
      "stun.ekiga.net",           "stun.voipbuster.com",      "stun.voipstunt.com",
      "stun.stunprotocol.org"};
  return servers;
}

}  // namespace quillet::net
