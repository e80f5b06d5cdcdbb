// SPDX-License-Identifier: Apache-2.0
// Fuzzes the line's effective transport over arbitrary server texts: the input's lines are
// the Proxy, the OutboundServer and a Transport name. Any text gives a transport; a sips:
// outbound server always gives TLS, and without one the Transport setting decides.
#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/line_values.h"

using quillet::app::LineValues;
using quillet::sip::TransportKind;

namespace {

std::string_view takeLine(std::string_view& text) {
  const size_t end = text.find('\n');
  std::string_view line = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  LineValues values;
  values.proxy = std::string(takeLine(text));
  values.outboundServer = std::string(takeLine(text));
  values.transport = quillet::sip::transportFromName(takeLine(text));
  const TransportKind chosen = quillet::app::lineTransport(values);
  if (values.outboundServer.size() >= 5 &&
      strncasecmp(values.outboundServer.c_str(), "sips:", 5) == 0 && chosen != TransportKind::Tls) {
    std::abort();
  }
  values.outboundServer.clear();
  if (quillet::app::lineTransport(values) != values.transport.value_or(TransportKind::Udp)) {
    std::abort();
  }
  return 0;
}
