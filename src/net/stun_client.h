// SPDX-License-Identifier: Apache-2.0
// Classic STUN client (binding and change requests over the caller's own UDP socket), the
// two-server resolution with its process-wide server switch, and the wire format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event.h"
#include "platform/socket.h"

namespace quillet::net {

using platform::Endpoint;
using platform::NetResult;

constexpr uint16_t kStunDefaultPort = 3478;

// The wire format. A request carries the magic cookie in bytes 4 to 7 and the transaction
// value in bytes 8 to 11 (little-endian); the change request adds CHANGE-REQUEST with
// "change IP".
std::vector<uint8_t> stunRequest(uint32_t transaction, bool changeIp);
// An accepted Binding Response for `transaction` (only bytes 8 to 11 compared): its mapped
// endpoint. The first IPv4 XOR-MAPPED-ADDRESS, else the first IPv4 MAPPED-ADDRESS; a first
// MAPPED-ADDRESS shorter than 8 bytes rejects the response. Nothing for anything else.
// `otherAddress` (when given) is set when the response names the server's other address
// (CHANGED-ADDRESS or OTHER-ADDRESS): a server that can answer a change request.
std::optional<Endpoint> parseStunResponse(const uint8_t* data, size_t size, uint32_t transaction,
                                          bool* otherAddress = nullptr);

// The process-wide transaction counter: the next value (starts at 0x12345678).
uint32_t nextStunTransaction();
// The server switch: try "STUNServer2" first.
bool useSecondStunServer();
void setUseSecondStunServer(bool on);

struct StunMapping {
  std::string address;  // "a.b.c.d"
  uint16_t port = 0;
  bool canTestFiltering = false;  // the server named another address of its own
};

// One binding transaction from `socket` to "host[:port]": 3 sends, 230 ms windows.
// `stop` (may be null) cancels the waits.
NetResult stunBinding(platform::Event* stop, std::string_view server, int socket,
                      StunMapping& mapped);
// The change test: 4 sends of the change request, 450 ms windows. Done when an answer came
// from another address than the server's; Failed when from the server's own or none.
NetResult stunChangeTest(platform::Event* stop, std::string_view server, int socket);

// The two configured servers ("STUNServer1", "STUNServer2").
struct StunServers {
  std::string first;
  std::string second;
};
// The binding against the server the switch names, then the other one; logs the failures
// and the hints (with `localPort`). Done with the mapping, Cancelled or Failed.
NetResult stunResolve(platform::Event* stop, int socket, uint16_t localPort,
                      const StunServers& servers, StunMapping& mapped);

// The built-in public servers, fastest-first candidates of the networking test; the first
// two are the defaults of "STUNServer1" and "STUNServer2".
const std::vector<std::string>& builtInStunServers();

}  // namespace quillet::net
