// SPDX-License-Identifier: Apache-2.0
// UTF-8 cutting, repair and case folding for the address book.
#include "contacts/contact_text.h"

#include <cstdint>

#include "platform/utf.h"

namespace quillet::contacts {

namespace {

bool isContinuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// Decodes one well-formed UTF-8 sequence at `pos`; answers its length, or 0 when the
// bytes there do not form one (overlong forms, surrogates and values above U+10FFFF too).
size_t decodeOne(std::string_view text, size_t pos, char32_t& out) {
  const auto c = static_cast<unsigned char>(text[pos]);
  size_t len = 0;
  char32_t value = 0;
  char32_t min = 0;
  if (c < 0x80) {
    out = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    len = 2;
    value = c & 0x1F;
    min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    value = c & 0x0F;
    min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    value = c & 0x07;
    min = 0x10000;
  } else {
    return 0;
  }
  if (pos + len > text.size()) {
    return 0;
  }
  for (size_t i = 1; i < len; ++i) {
    const auto next = static_cast<unsigned char>(text[pos + i]);
    if (!isContinuation(next)) {
      return 0;
    }
    value = (value << 6) | (next & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return 0;
  }
  out = value;
  return len;
}

char32_t foldOne(char32_t cp) {
  if (cp >= 'A' && cp <= 'Z') {
    return cp + 32;
  }
  if (cp < 0xC0) {
    return cp;
  }
  if (cp <= 0xDE && cp != 0xD7) {
    return cp + 32;  // Latin-1 capitals
  }
  if (cp >= 0x100 && cp <= 0x137 && (cp & 1) == 0 && cp != 0x130) {
    return cp + 1;  // Latin Extended-A pairs, capital first
  }
  if (cp >= 0x139 && cp <= 0x148 && (cp & 1) == 1) {
    return cp + 1;
  }
  if (cp >= 0x14A && cp <= 0x177 && (cp & 1) == 0) {
    return cp + 1;
  }
  if (cp == 0x178) {
    return 0xFF;
  }
  if (cp >= 0x179 && cp <= 0x17E && (cp & 1) == 1) {
    return cp + 1;
  }
  if (cp >= 0x391 && cp <= 0x3AB && cp != 0x3A2) {
    return cp + 32;  // Greek capitals
  }
  if (cp >= 0x400 && cp <= 0x40F) {
    return cp + 80;  // Cyrillic capitals with marks
  }
  if (cp >= 0x410 && cp <= 0x42F) {
    return cp + 32;  // basic Cyrillic capitals
  }
  return cp;
}

}  // namespace

void cutToChars(std::string& text, size_t maxChars) {
  text.resize(platform::utf8Cut(text, maxChars).size());
}

void cutToBytes(std::string& text, size_t maxBytes) {
  text.resize(platform::utf8CutBytes(text, maxBytes).size());
}

std::string repairUtf8(std::string_view text) {
  return platform::sanitizeUtf8(text);
}

std::string foldCase(std::string_view text) {
  std::string out(text);
  size_t pos = 0;
  // Plain ASCII, the usual case for keys and addresses, folds in place.
  for (; pos < out.size() && static_cast<unsigned char>(out[pos]) < 0x80; ++pos) {
    if (out[pos] >= 'A' && out[pos] <= 'Z') {
      out[pos] = static_cast<char>(out[pos] + 32);
    }
  }
  if (pos == out.size()) {
    return out;
  }
  out.resize(pos);
  while (pos < text.size()) {
    char32_t cp = 0;
    const size_t len = decodeOne(text, pos, cp);
    if (len == 0) {
      out += text[pos];  // malformed bytes compare as themselves
      ++pos;
    } else {
      if (len == 1) {
        out += static_cast<char>(foldOne(cp));
      } else {
        platform::appendUtf8(out, foldOne(cp));
      }
      pos += len;
    }
  }
  return out;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  return foldCase(a) == foldCase(b);
}

std::string trimBlanks(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) < 33) {
    ++begin;
  }
  while (end > begin && static_cast<unsigned char>(text[end - 1]) < 33) {
    --end;
  }
  return std::string(text.substr(begin, end - begin));
}

}  // namespace quillet::contacts
