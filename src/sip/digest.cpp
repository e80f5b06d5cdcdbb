// SPDX-License-Identifier: Apache-2.0
// Digest authentication: challenge reading, choosing, the nonce counts and the
// credentials text.
#include "sip/digest.h"

#include <cstdio>
#include <deque>
#include <mutex>
#include <random>
#include <utility>

#include "base/text_builder.h"
#include "sip/md5.h"
#include "sip/sha256.h"
#include "sip/sip_message.h"

namespace quillet::sip {

namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}
bool isPairSeparator(char c) {
  return c == '=' || c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

DigestAlgorithm algorithmOf(std::string_view name) {
  if (name.empty() || equalsNoCase(name, "MD5")) return DigestAlgorithm::Md5;
  if (equalsNoCase(name, "MD5-sess")) return DigestAlgorithm::Md5Sess;
  if (equalsNoCase(name, "SHA-256")) return DigestAlgorithm::Sha256;
  if (equalsNoCase(name, "SHA-256-sess")) return DigestAlgorithm::Sha256Sess;
  return DigestAlgorithm::Unsupported;
}

// Eight lower-case hexadecimal digits, as nc is written.
std::string hex8(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

int strength(DigestAlgorithm kind) {
  switch (kind) {
    case DigestAlgorithm::Sha256:
    case DigestAlgorithm::Sha256Sess:
      return 2;
    case DigestAlgorithm::Md5:
    case DigestAlgorithm::Md5Sess:
      return 1;
    case DigestAlgorithm::Unsupported:
      break;
  }
  return 0;
}

std::string hashHex(DigestAlgorithm kind, std::string_view text) {
  const bool sha = kind == DigestAlgorithm::Sha256 || kind == DigestAlgorithm::Sha256Sess;
  return sha ? sha256Hex(text) : md5Hex(text);
}

// Whether a comma-separated qop list holds "auth" (not only "auth-int").
bool offersAuth(std::string_view list) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string_view::npos) end = list.size();
    std::string_view item = list.substr(start, end - start);
    while (!item.empty() && isBlank(item.front())) item.remove_prefix(1);
    while (!item.empty() && isBlank(item.back())) item.remove_suffix(1);
    if (equalsNoCase(item, "auth")) return true;
    start = end + 1;
  }
  return false;
}

// The client side of the nonce counts and the cnonces, shared by every line: a server
// sees each (nonce, count) once. Only the most recent nonces are remembered.
class NonceCounts {
 public:
  std::pair<uint32_t, std::string> next(const std::string& nonce) {
    std::lock_guard lock(mutex_);
    uint32_t count = 1;
    for (auto it = counts_.begin(); it != counts_.end(); ++it) {
      if (it->first == nonce) {
        count = it->second + 1;
        counts_.erase(it);
        break;
      }
    }
    counts_.emplace_front(nonce, count);
    if (counts_.size() > kRemembered) counts_.pop_back();
    return {count, hex8(static_cast<uint32_t>(random_())) + hex8(static_cast<uint32_t>(random_()))};
  }

 private:
  static constexpr size_t kRemembered = 64;
  std::mutex mutex_;
  std::deque<std::pair<std::string, uint32_t>> counts_;
  std::mt19937 random_{std::random_device{}()};
};

NonceCounts& nonceCounts() {
  static NonceCounts counts;
  return counts;
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
  bool seenAlgorithm = false, seenQop = false;
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
    keep("algorithm", seenAlgorithm, challenge.algorithm);
    keep("qop", seenQop, challenge.qop);
  }
  challenge.isStale = equalsNoCase(challenge.stale, "true");
  challenge.kind = algorithmOf(challenge.algorithm);
  challenge.qopAuth = offersAuth(challenge.qop);
  return true;
}

std::string strongestChallenge(const std::vector<std::string>& values) {
  if (values.empty()) return {};
  size_t best = 0;
  int bestStrength = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    DigestChallenge challenge;
    if (!readChallenge(values[i], challenge)) continue;
    const int s = strength(challenge.kind);
    if (s > bestStrength) {
      best = i;
      bestStrength = s;
    }
  }
  return values[best];
}

bool answerable(std::string_view challengeValue) {
  DigestChallenge challenge;
  return readChallenge(challengeValue, challenge) && challenge.kind != DigestAlgorithm::Unsupported;
}

bool staleChallenge(std::string_view challengeValue) {
  DigestChallenge challenge;
  return readChallenge(challengeValue, challenge) && challenge.isStale;
}

std::string digestResponse(const DigestChallenge& challenge, std::string_view method,
                           std::string_view uri, std::string_view user, std::string_view password,
                           std::string_view cnonce, uint32_t nonceCount) {
  // Texts are UTF-8 already, which is what the digest is computed over.
  const DigestAlgorithm kind = challenge.kind;
  std::string ha1 = hashHex(kind, base::format("%s:%s:%s", user, challenge.realm, password));
  if (kind == DigestAlgorithm::Md5Sess || kind == DigestAlgorithm::Sha256Sess) {
    ha1 = hashHex(kind, base::format("%s:%s:%s", ha1, challenge.nonce, cnonce));
  }
  const std::string ha2 = hashHex(kind, base::format("%s:%s", method, uri));
  if (cnonce.empty()) return hashHex(kind, base::format("%s:%s:%s", ha1, challenge.nonce, ha2));
  return hashHex(kind, base::format("%s:%s:%s:%s:auth:%s", ha1, challenge.nonce, hex8(nonceCount),
                                    cnonce, ha2));
}

DigestResult computeDigest(std::string_view challengeValue, std::string_view method,
                           std::string_view uri, std::string_view user, std::string_view password) {
  DigestResult result;
  DigestChallenge challenge;
  if (!readChallenge(challengeValue, challenge) || challenge.kind == DigestAlgorithm::Unsupported) {
    return result;
  }
  const std::string algorithm = challenge.algorithm.empty() ? "MD5" : challenge.algorithm;
  result.ok = true;
  result.stale = challenge.isStale;
  if (!challenge.qopAuth) {
    const std::string response = digestResponse(challenge, method, uri, user, password);
    result.credentials = base::format(
        "Digest username=\"%s\",realm=\"%s\",nonce=\"%s\",uri=\"%s\",response=\"%s\","
        "opaque=\"%s\",algorithm=%s",
        user, challenge.realm, challenge.nonce, uri, response, challenge.opaque, algorithm);
    return result;
  }
  const auto [count, cnonce] = nonceCounts().next(challenge.nonce);
  const std::string response =
      digestResponse(challenge, method, uri, user, password, cnonce, count);
  result.credentials = base::format(
      "Digest username=\"%s\",realm=\"%s\",nonce=\"%s\",uri=\"%s\",response=\"%s\","
      "opaque=\"%s\",algorithm=%s,qop=auth,nc=%s,cnonce=\"%s\"",
      user, challenge.realm, challenge.nonce, uri, response, challenge.opaque, algorithm,
      hex8(count), cnonce);
  return result;
}

}  // namespace quillet::sip
