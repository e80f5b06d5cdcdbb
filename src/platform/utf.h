// SPDX-License-Identifier: Apache-2.0
// UTF-8 / UTF-16 conversion and cutting texts by characters (code points).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillet::platform {

// Invalid input (bad sequences, lone surrogates) becomes U+FFFD; never fails.
std::u16string utf8ToUtf16(std::string_view text);
std::string utf16ToUtf8(std::u16string_view text);

// True when the text is well-formed UTF-8 (no overlongs, no surrogates, <= U+10FFFF).
bool isValidUtf8(std::string_view text);
// The text with every invalid sequence replaced by U+FFFD.
std::string sanitizeUtf8(std::string_view text);

// Number of characters (code points; an invalid byte counts as one).
size_t utf8Length(std::string_view text);
// The first maxChars characters, never splitting a sequence.
std::string_view utf8Cut(std::string_view text, size_t maxChars);
// The longest prefix of at most maxBytes bytes that does not split a sequence.
std::string_view utf8CutBytes(std::string_view text, size_t maxBytes);

// Appends the UTF-8 form of one code point (U+FFFD for invalid ones).
void appendUtf8(std::string& out, char32_t codePoint);

}  // namespace quillet::platform
