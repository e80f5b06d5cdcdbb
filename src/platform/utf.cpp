// SPDX-License-Identifier: Apache-2.0
// UTF-8 / UTF-16 helpers.
#include "platform/utf.h"

namespace quillet::platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one sequence at text[pos]; answers its length (at least 1) and the code point
// (kReplacement for an invalid sequence, whose length is then 1).
size_t decodeOne(std::string_view text, size_t pos, char32_t& cp) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  uint8_t b0 = byte(pos);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  size_t len;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    cp = b0 & 0x1F;
    min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    cp = b0 & 0x0F;
    min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    cp = b0 & 0x07;
    min = 0x10000;
  } else {
    cp = kReplacement;
    return 1;
  }
  if (pos + len > text.size()) {
    cp = kReplacement;
    return 1;
  }
  for (size_t i = 1; i < len; ++i) {
    uint8_t b = byte(pos + i);
    if ((b & 0xC0) != 0x80) {
      cp = kReplacement;
      return 1;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    cp = kReplacement;
    return 1;
  }
  return len;
}

bool decodeValid(std::string_view text, size_t pos, size_t& len) {
  char32_t cp;
  len = decodeOne(text, pos, cp);
  return !(cp == kReplacement && len == 1 && static_cast<uint8_t>(text[pos]) >= 0x80);
}

}  // namespace

void appendUtf8(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    cp = kReplacement;
  }
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::u16string utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    char32_t cp;
    pos += decodeOne(text, pos, cp);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else {
      appendUtf8(out, unit);  // a lone surrogate becomes U+FFFD
    }
  }
  return out;
}

bool isValidUtf8(std::string_view text) {
  for (size_t pos = 0; pos < text.size();) {
    size_t len;
    if (!decodeValid(text, pos, len)) {
      return false;
    }
    pos += len;
  }
  return true;
}

std::string sanitizeUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    size_t len;
    if (decodeValid(text, pos, len)) {
      out.append(text.substr(pos, len));
    } else {
      appendUtf8(out, kReplacement);
    }
    pos += len;
  }
  return out;
}

size_t utf8Length(std::string_view text) {
  size_t count = 0;
  for (size_t pos = 0; pos < text.size(); ++count) {
    char32_t cp;
    pos += decodeOne(text, pos, cp);
  }
  return count;
}

std::string_view utf8Cut(std::string_view text, size_t maxChars) {
  size_t pos = 0;
  for (size_t count = 0; pos < text.size() && count < maxChars; ++count) {
    char32_t cp;
    pos += decodeOne(text, pos, cp);
  }
  return text.substr(0, pos);
}

std::string_view utf8CutBytes(std::string_view text, size_t maxBytes) {
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp;
    size_t len = decodeOne(text, pos, cp);
    if (pos + len > maxBytes) {
      break;
    }
    pos += len;
  }
  return text.substr(0, pos);
}

}  // namespace quillet::platform
