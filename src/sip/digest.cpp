// Digest authentication without qop: challenge reading and the credentials text.
#include "sip/digest.h"

#include "base/text_builder.h"
#include "sip/md5.h"
#include "sip/sip_message.h"

namespace quillet::sip {

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}
bool isPairSeparator(char c) {
  return c == '=' || c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

bool readChallenge(std::string_view value, DigestChallenge& challenge) {
  challenge = DigestChallenge{};
  size_t i = 0;
  while (i < value.size() && (isBlank(value[i]) || value[i] == '\r' || value[i] == '\n')) ++i;
  size_t start = i;
  while (i < value.size() && !isPairSeparator(value[i])) ++i;
  if (!equalsNoCase(value.substr(start, i - start), "Digest")) return false;

  bool seenRealm = false, seenNonce = false, seenOpaque = false, seenStale = false;
  while (i < value.size()) {
    while (i < value.size() && isPairSeparator(value[i])) ++i;
    size_t nameStart = i;
    while (i < value.size() && !isPairSeparator(value[i])) ++i;
    std::string_view name = value.substr(nameStart, i - nameStart);
    if (name.empty()) break;
    while (i < value.size() && isBlank(value[i])) ++i;
    std::string text;
    if (i < value.size() && value[i] == '=') {
      ++i;
      while (i < value.size() && isBlank(value[i])) ++i;
      if (i < value.size() && value[i] == '"') {
        // A quoted value runs to its closing quote, so that it may hold commas
        // (qop="auth,auth-int"); a backslash takes the next character literally.
        ++i;
        while (i < value.size() && value[i] != '"') {
          if (value[i] == '\\' && i + 1 < value.size()) ++i;
          text.push_back(value[i++]);
        }
        if (i < value.size()) ++i;
        while (i < value.size() && value[i] != ',') ++i;  // anything after the quote
      } else {
        size_t valueStart = i;
        while (i < value.size() && value[i] != ',') ++i;
        size_t valueEnd = i;
        while (valueEnd > valueStart &&
               (isBlank(value[valueEnd - 1]) || value[valueEnd - 1] == '\r' ||
                value[valueEnd - 1] == '\n')) {
          --valueEnd;
        }
        text.assign(value.substr(valueStart, valueEnd - valueStart));
      }
    }
    auto keep = [&](std::string_view wanted, bool& seen, std::string& field) {
      if (!seen && equalsNoCase(name, wanted)) {
        seen = true;
        field = text;
      }
    };
    keep("realm", seenRealm, challenge.realm);
    keep("nonce", seenNonce, challenge.nonce);
    keep("opaque", seenOpaque, challenge.opaque);
    keep("stale", seenStale, challenge.stale);
  }
  challenge.isStale = equalsNoCase(challenge.stale, "true");
  return true;
}

std::string digestResponse(const DigestChallenge& challenge, std::string_view method,
                           std::string_view uri, std::string_view user, std::string_view password) {
  // Texts are UTF-8 already, which is what the digest is computed over.
  std::string ha1 = md5Hex(base::format("%s:%s:%s", user, challenge.realm, password));
  std::string ha2 = md5Hex(base::format("%s:%s", method, uri));
  return md5Hex(base::format("%s:%s:%s", ha1, challenge.nonce, ha2));
}

DigestResult computeDigest(std::string_view challengeValue, std::string_view method,
                           std::string_view uri, std::string_view user, std::string_view password) {
  DigestResult result;
  DigestChallenge challenge;
  if (!readChallenge(challengeValue, challenge)) return result;
  std::string response = digestResponse(challenge, method, uri, user, password);
  result.ok = true;
  result.stale = challenge.isStale;
  result.credentials = base::format(
      "Digest username=\"%s\",realm=\"%s\",nonce=\"%s\",uri=\"%s\",response=\"%s\","
      "opaque=\"%s\",algorithm=MD5",
      user, challenge.realm, challenge.nonce, uri, response, challenge.opaque);
  return result;
}

}  // namespace quillet::sip
