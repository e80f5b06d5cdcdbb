// SPDX-License-Identifier: Apache-2.0
// SIP URIs and name-addrs as this user agent reads and writes them: parsing, printing,
// URI escaping and unescaping, dial strings, and the route-set rules of a dialog.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sip/transport_kind.h"

namespace quillet::sip {

// URIs and name-addrs are read whole. Only what the program keeps for showing, logging
// and storing about a far end (its display name, user, address) is cut, to this many
// characters (code points): see shownText.
constexpr size_t kShownTextMax = 259;
constexpr uint16_t kDefaultSipPort = 5060;

// Ordered (name, value) pairs; lookup by name is exact (case matters).
struct Param {
  std::string name;
  std::string value;
};
using ParamList = std::vector<Param>;

// The value of the first parameter named exactly `name`, or `fallback` when none is.
std::string paramValue(const ParamList& params, std::string_view name,
                       std::string_view fallback = {});
// Whether a parameter named exactly `name` exists (with or without a value).
bool hasParam(const ParamList& params, std::string_view name);

struct SipUri {
  std::string scheme = "sip";
  std::string user;
  std::string password;
  std::string host;
  bool hasPort = false;
  uint16_t port = kDefaultSipPort;  // 5060 when no port is written
  ParamList params;                 // unescaped
  ParamList headers;                // the part after "?", values still escaped
};

// Reads a URI the loose way this system always has:
// - with "@": before it "scheme:user[:password]" (no ":" means scheme "sip"), after it
//   the host part;
// - without "@": a ":" among the first five characters separates a scheme from the
//   host part (so "abcd:5070" reads as scheme "abcd", host "5070"), otherwise the
//   whole text is the host part with scheme "sip";
// - the host part is cut at the first ";" (parameters follow), or at "?" when there is
//   no ";"; a ":" in the host gives the port; "?" in the parameter text starts headers
//   split at "&" and "=".
// Never fails: whatever the text, a SipUri results.
SipUri parseUri(std::string_view text);
// A server setting as a URI: "host", "host:port", "host;transport=tcp" or a whole
// "sip:"/"sips:" URI.
SipUri serverUri(std::string_view serverSetting);
// The transport a URI asks for: TLS for "sips:", else its transport parameter; nothing
// when it names none (or one not known).
std::optional<TransportKind> uriTransport(const SipUri& uri);
// "scheme:" [user[:password]@] host [":" port]; parameters and headers are not printed.
std::string printUri(const SipUri& uri);

struct NameAddr {
  std::string displayName;  // quotes removed
  std::string uri;          // as written, always with a scheme ("sip:" added when none)
  ParamList params;         // the name-addr's own parameters ("tag" lives here)
};

// ["display"] <uri>;params  |  display <uri>;params  |  uri;params
NameAddr parseNameAddr(std::string_view text);
// The text up to the first ";" outside double quotes and angle brackets (drops the tag
// and other parameters of a name-addr).
std::string stripParameters(std::string_view text);

// `text` cut to kShownTextMax characters, never inside a UTF-8 sequence.
std::string shownText(std::string_view text);

// URI escaping for user parts and the device name: bytes of 32 or below, above 127
// (each byte of a UTF-8 sequence) and the characters %:/?#[]@!$&'()*+,;= become "%XX"
// with upper-case hex digits; others are copied.
std::string uriEscape(std::string_view text);

// URI unescaping: "%" and two hex digits (either case) become that
// byte, "%00" is dropped, a "%" with fewer than two characters after it ends the text, and
// a "%" not followed by two hex digits is kept as written; "+" is itself (a SIP URI is not
// a form: "+" starts numbers and stands in Call-IDs). Bytes that do not form valid
// UTF-8 are replaced by U+FFFD, so the result is always valid UTF-8.
std::string unescape(std::string_view text);

// The dialog a Replaces header names (RFC 3891): "call-id;to-tag=T;from-tag=F", the tags
// seen from the side that receives it (to-tag is its own tag). Empty fields when missing.
struct ReplacesTarget {
  std::string callId;
  std::string toTag;
  std::string fromTag;
};
ReplacesTarget parseReplaces(std::string_view value);

// False for an empty text and for one with ">" but no "<" or "<" but no ">".
bool isDialable(std::string_view text);
// What the user dialled as a name-addr: a text with "<" is used unchanged; otherwise
// blanks are removed, "sip:" is put in front when there is no scheme, and "@" plus the
// line server is added when there is no "@": "123" -> "<sip:123@S>".
std::string dialToNameAddr(std::string_view text, std::string_view lineServer);

// Splits a header value that lists name-addrs at the commas that stand outside double
// quotes and angle brackets; elements are trimmed, empty ones dropped.
std::vector<std::string> splitList(std::string_view value);
// Whether every quoted string of a header value ends and every "<" is closed by a ">".
bool quotesAndBracketsClosed(std::string_view value);

// The route set built from an incoming INVITE: its Record-Route values in the order
// received, joined with ",". (Takes the header values so that it needs no message.)
std::string routeSetFromRequest(const std::vector<std::string>& recordRouteValues);
// The route set built from a 2xx to this side's INVITE: every element of every
// Record-Route header, the last one first, joined with ",".
std::string routeSetFromResponse(const std::vector<std::string>& recordRouteValues);
// The preset route towards the line's outbound server: "<sip:SERVER;lr>".
std::string presetRoute(std::string_view outboundServer);

// Where a request in a dialog goes and what it carries.
struct RouteDecision {
  std::string requestUri;
  std::string routeHeader;     // empty: no Route header
  std::string destinationUri;  // the URI whose host and port are the next hop
};
// The route rules: no route set -> straight to the remote target; a first element
// with "lr" -> loose routing (request URI = remote target, Route = the whole set, sent
// to the first element; a lone preset route sends no Route header); otherwise strict
// routing (request URI = the first element's URI, Route = the remaining elements and
// then "<remote target>").
RouteDecision applyRouteSet(std::string_view routeSet, bool isPresetRoute,
                            std::string_view remoteTarget);

// Host and port of a next hop: the URI's host and port (5060 when none is written).
struct HostPort {
  std::string host;
  uint16_t port = kDefaultSipPort;
};
HostPort nextHop(std::string_view destinationUri);
// A server setting that may end in ":PORT" ("pbx.example.net:5080", "[2001:db8::7]:5080");
// default port given. An IPv6 host keeps its brackets.
HostPort splitHostPort(std::string_view text, uint16_t defaultPort = kDefaultSipPort);

}  // namespace quillet::sip
