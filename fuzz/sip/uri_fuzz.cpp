// SPDX-License-Identifier: Apache-2.0
// Fuzz target: parseUri and the route and dial rules over arbitrary text.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sip/sip_uri.h"

using namespace quillet::sip;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  SipUri uri = parseUri(text);
  // Parts are read whole: never more than the text held; a shown text keeps its limit.
  if (uri.user.size() > size || uri.host.size() > size) std::abort();
  if (shownText(text).size() > kShownTextMax * 4) std::abort();
  (void)printUri(uri);
  (void)nextHop(text);
  (void)splitHostPort(text);
  (void)applyRouteSet(text, true, "sip:target@h");
  (void)applyRouteSet(text, false, text);
  if (isDialable(text)) (void)dialToNameAddr(text, "server.example");
  return 0;
}
