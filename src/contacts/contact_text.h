// SPDX-License-Identifier: Apache-2.0
// Text rules of the address book: UTF-8 cutting and repair, comparison without regard to
// letter case, and trimming of blanks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillet::contacts {

// Names, numbers, keys and values keep at most this many characters (code points).
constexpr size_t kMaxTextChars = 259;

// Cuts `text` to at most `maxChars` code points without splitting a UTF-8 sequence.
void cutToChars(std::string& text, size_t maxChars);

// Cuts `text` to at most `maxBytes` bytes, backing off to the start of a UTF-8 sequence
// so that no character is split.
void cutToBytes(std::string& text, size_t maxBytes);

// Returns `text` with every malformed UTF-8 sequence replaced by U+FFFD.
std::string repairUtf8(std::string_view text);

// Lower-case form used to compare names without regard to letter case: ASCII, Latin-1,
// Latin Extended-A, Greek and Cyrillic capitals fold to their small letters.
std::string foldCase(std::string_view text);

bool equalsNoCase(std::string_view a, std::string_view b);

// Removes leading and trailing blanks and control characters (code units below 33).
std::string trimBlanks(std::string_view text);

}  // namespace quillet::contacts
