// SPDX-License-Identifier: Apache-2.0
// Any datagram through the SIP transport's dispatch (parse, call match, response cache,
// out-of-dialog answers) with the socket unbound.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "sip/sip_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static quillet::sip::SipTransport* transport = [] {
    auto* t = new quillet::sip::SipTransport();
    t->setPrivateAddressSource([] { return std::string("127.0.0.1"); });
    return t;
  }();
  const auto from = quillet::platform::SocketAddress::ipv4(htonl(0x7f000001), 5060);
  transport->injectDatagram(std::string_view(reinterpret_cast<const char*>(data), size), from);
  // Twice: the second copy goes through the response cache.
  transport->injectDatagram(std::string_view(reinterpret_cast<const char*>(data), size), from);
  return 0;
}
