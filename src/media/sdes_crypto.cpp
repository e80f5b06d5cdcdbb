// SPDX-License-Identifier: Apache-2.0
// Reading and writing "a=crypto" values, with the base64 of their inline keys.
#include "media/sdes_crypto.h"

namespace quillet::media {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view nextField(std::string_view text, size_t& pos) {
  while (pos < text.size() && isBlank(text[pos])) ++pos;
  const size_t start = pos;
  while (pos < text.size() && !isBlank(text[pos])) ++pos;
  return text.substr(start, pos - start);
}

// The tag: 1 to 9 decimal digits.
std::optional<uint32_t> readTag(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  uint32_t tag = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    tag = tag * 10 + static_cast<uint32_t>(c - '0');
  }
  return tag;
}

// "inline:<key>[|<lifetime>][|<mki>:<length>]": the key, when no master key index is used.
// Only the first key of a list (separated by ';') is read.
std::optional<std::vector<uint8_t>> readKeyParams(std::string_view params) {
  const std::string_view first = params.substr(0, params.find(';'));
  constexpr std::string_view kInline = "inline:";
  if (first.substr(0, kInline.size()) != kInline) return std::nullopt;
  std::string_view rest = first.substr(kInline.size());
  const size_t bar = rest.find('|');
  const std::string_view key = rest.substr(0, bar);
  if (bar != std::string_view::npos) {
    const std::string_view extras = rest.substr(bar + 1);
    // A master key index ("1:4") needs every packet to carry it: not done here.
    if (extras.find(':') != std::string_view::npos) return std::nullopt;
  }
  return base64Decode(key);
}

}  // namespace

std::string base64Encode(const std::vector<uint8_t>& bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t group =
        (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    text += kAlphabet[(group >> 18) & 63];
    text += kAlphabet[(group >> 12) & 63];
    text += kAlphabet[(group >> 6) & 63];
    text += kAlphabet[group & 63];
  }
  const size_t left = bytes.size() - i;
  if (left > 0) {
    uint32_t group = uint32_t{bytes[i]} << 16;
    if (left == 2) group |= uint32_t{bytes[i + 1]} << 8;
    text += kAlphabet[(group >> 18) & 63];
    text += kAlphabet[(group >> 12) & 63];
    text += left == 2 ? kAlphabet[(group >> 6) & 63] : '=';
    text += '=';
  }
  return text;
}

std::optional<std::vector<uint8_t>> base64Decode(std::string_view text) {
  size_t end = text.size();
  size_t padding = 0;
  while (end > 0 && text[end - 1] == '=' && padding < 2) {
    --end;
    ++padding;
  }
  if ((end + padding) % 4 != 0 && padding != 0) return std::nullopt;
  if (end % 4 == 1) return std::nullopt;
  std::vector<uint8_t> bytes;
  bytes.reserve(end * 3 / 4);
  uint32_t group = 0;
  int bits = 0;
  for (size_t i = 0; i < end; ++i) {
    const int value = base64Value(text[i]);
    if (value < 0) return std::nullopt;
    group = (group << 6) | static_cast<uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<uint8_t>((group >> bits) & 0xFF));
    }
  }
  return bytes;
}

std::optional<SdesCrypto> readCryptoAttribute(std::string_view value) {
  size_t pos = 0;
  const std::optional<uint32_t> tag = readTag(nextField(value, pos));
  if (!tag) return std::nullopt;
  const std::optional<SrtpSuite> suite = suiteFromName(nextField(value, pos));
  if (!suite) return std::nullopt;
  std::optional<std::vector<uint8_t>> key = readKeyParams(nextField(value, pos));
  if (!key || key->size() != suiteKeyLength(*suite)) return std::nullopt;
  // Session parameters (unencrypted or unauthenticated SRTP, other key derivation rates)
  // change what the packets look like: a line with any is not taken.
  if (!nextField(value, pos).empty()) return std::nullopt;
  return SdesCrypto{*tag, *suite, std::move(*key)};
}

std::string writeCryptoAttribute(const SdesCrypto& crypto) {
  return "crypto:" + std::to_string(crypto.tag) + " " + std::string(suiteName(crypto.suite)) +
         " inline:" + base64Encode(crypto.key);
}

}  // namespace quillet::media
