// SPDX-License-Identifier: Apache-2.0
// SipMessage: one parsed SIP request or response (UDP datagram text), with the header,
// header-list and body lookups the user agent uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sip/sip_target.h"

namespace quillet::sip {

// Field limits in characters (code points); longer texts are cut, never refused. The
// request URI and header values are kept whole: they are echoed and routed on.
constexpr size_t kMethodMax = 31;
constexpr size_t kReasonMax = 127;
constexpr size_t kHeaderNameMax = 31;
// A message with more headers than this is not read at all (bounded work per datagram).
constexpr size_t kMaxHeaders = 512;
// The status code of a request.
constexpr uint16_t kRequestStatus = 65535;

struct SipHeader {
  std::string name;   // the text before the colon, blanks removed
  std::string value;  // after the colon, leading blanks removed, folded lines joined
};

struct SipBodyPart {
  std::string type;  // media type only (cut at the first blank or ";")
  std::string text;
};

// A header name with its compact form ("Call-ID" / "i"); the compact form may be empty.
// A plain text converts to a name without compact form.
struct HeaderName {
  constexpr HeaderName(const char* fullName, const char* compactName = "")
      : full(fullName), compact(compactName) {}
  constexpr HeaderName(std::string_view fullName, std::string_view compactName = {})
      : full(fullName), compact(compactName) {}
  std::string_view full;
  std::string_view compact;
};

// The names the user agent looks up; those with a compact form match either.
namespace hdr {
inline constexpr HeaderName kCallId{"Call-ID", "i"};
inline constexpr HeaderName kVia{"Via", "v"};
inline constexpr HeaderName kTo{"To", "t"};
inline constexpr HeaderName kFrom{"From", "f"};
inline constexpr HeaderName kContact{"Contact", "m"};
inline constexpr HeaderName kContentType{"Content-Type", "c"};
inline constexpr HeaderName kContentLength{"Content-Length", "l"};
inline constexpr HeaderName kReferTo{"Refer-To", "r"};
inline constexpr HeaderName kCSeq{"CSeq"};
inline constexpr HeaderName kExpires{"Expires"};
inline constexpr HeaderName kMinExpires{"Min-Expires"};
inline constexpr HeaderName kWwwAuthenticate{"WWW-Authenticate"};
inline constexpr HeaderName kProxyAuthenticate{"Proxy-Authenticate"};
inline constexpr HeaderName kRecordRoute{"Record-Route"};
inline constexpr HeaderName kReplaces{"Replaces"};
inline constexpr HeaderName kUserAgent{"User-Agent"};
inline constexpr HeaderName kEvent{"Event"};
}  // namespace hdr

class SipMessage {
 public:
  // Parses one datagram (UTF-8). Fails (nullopt) when the first line has no two
  // tokens, when a request line does not end in a "SIP/" version, or when more than
  // kMaxHeaders headers follow. Details:
  // - blank lines and blanks before the first token are skipped; tokens end at a blank
  //   or control character; the first line ends at CR, LF, CR LF or LF CR;
  // - a first token starting "SIP/" (any case) makes a response (status = decimal value
  //   of the second token, clamped to 0..65535; reason = the rest of the line);
  // - headers run until an empty name (the empty line); a line starting with a blank or
  //   tab continues the previous value after one space (values keep their full length);
  // - a body needs a Content-Type and a non-zero Content-Length; it is the next
  //   Content-Length bytes, clamped to what remains of the datagram;
  // - "multipart/mixed" with a boundary parameter gives one body part per part that
  //   names a type; the container itself is not kept.
  static std::optional<SipMessage> parse(std::string_view datagram);

  bool isRequest() const { return !method.empty(); }
  // Where an answer to this message goes: its source, the same way and connection.
  SipTarget replyTarget() const {
    SipTarget target;
    target.address = source;
    target.transport = transport;
    target.connection = connection;
    return target;
  }
  bool isResponse() const { return method.empty(); }

  // The value of the first header named `name` (full or compact form, case ignored),
  // or `fallback` when none is.
  std::string header(const HeaderName& name, std::string_view fallback = {}) const;
  // Every value of the headers named `name`, in order of arrival.
  std::vector<std::string> headerValues(const HeaderName& name) const;
  // Every element of every header named `name`, each header split at the commas that
  // stand outside quotes and angle brackets (Contact lists, Record-Route lists).
  std::vector<std::string> headerElements(const HeaderName& name) const;
  // The text of the first body part whose type equals `type` (case ignored); empty
  // when none. The reference stays valid as long as the message is unchanged.
  const std::string& body(std::string_view type) const;
  // Whether a body part of that type exists (an empty body still counts).
  bool hasBody(std::string_view type) const;

  std::string method;                // empty for a response
  std::string uri;                   // request URI (whole), or the status token of a response
  uint16_t status = kRequestStatus;  // response code; 65535 for a request
  std::string reason;                // reason phrase; empty for a request
  std::string version;               // "SIP/2.0" as written: the request line's end, or
                                     // the first token of a status line
  size_t bytesAfterHeaders = 0;      // what the datagram holds after the empty line
  bool looseFirstLine = false;       // the first line's parts are not separated by one
                                     // space each, or blanks follow its end
  platform::SocketAddress source;    // where the datagram came from (set by the receiver)
  TransportKind transport = TransportKind::Udp;  // how it came (set by the receiver)
  uint64_t connection = 0;                       // the connection it came on (0: UDP)
  std::vector<SipHeader> headers;                // in order of arrival
  std::vector<SipBodyPart> bodies;               // in order of appearance
};

// Case-insensitive ASCII comparison, as header names and media types are compared.
bool equalsNoCase(std::string_view a, std::string_view b);
// The text without the ASCII white space (blanks, tabs, line ends) at either end.
std::string_view trimmed(std::string_view text);
// The decimal value of a text the way the system reads numbers: leading blanks
// skipped, an optional sign, digits up to the first non-digit ("12ab" is 12, "" is 0);
// saturates at the 32-bit limits.
int32_t decimalValue(std::string_view text);
// `text` cut to at most `maxChars` characters (code points), never splitting a UTF-8
// sequence; bytes that are not valid UTF-8 count one character each.
std::string_view cutChars(std::string_view text, size_t maxChars);

}  // namespace quillet::sip
