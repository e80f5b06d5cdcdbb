// SPDX-License-Identifier: Apache-2.0
// TextBuilder: template expansion with "%d", "%.Nd" and "%s", into a growable text or a
// caller's fixed buffer.
#include "base/text_builder.h"

#include <algorithm>

namespace quillet::base {

namespace {

// Writes the expansion through `put`, which answers false once nothing more fits.
template <typename Put>
void expand(std::string_view templ, FormatArgs args, Put&& put) {
  const FormatArg* next = args.begin();
  auto takeArg = [&]() -> const FormatArg* { return next != args.end() ? next++ : nullptr; };
  size_t i = 0;
  while (i < templ.size()) {
    if (templ[i] != '%') {
      // Copy the run of plain characters as one piece, so that the fixed form never
      // splits a UTF-8 sequence of the template itself.
      size_t end = i;
      while (end < templ.size() && templ[end] != '%' && templ[end] != '\0') ++end;
      if (end > i && !put(templ.substr(i, end - i))) return;
      if (end < templ.size() && templ[end] == '\0') return;  // the template ends at its 0
      i = end;
      continue;
    }
    ++i;
    if (i >= templ.size()) break;
    int minDigits = 1;
    if (templ[i] == '.' && i + 1 < templ.size() && templ[i + 1] >= '1' && templ[i + 1] <= '9') {
      minDigits = templ[i + 1] - '0';
      i += 2;
      if (i >= templ.size()) break;
    }
    char conv = templ[i++];
    if (conv == 'd') {
      const FormatArg* arg = takeArg();
      if (!arg || arg->isText()) continue;
      int64_t value = arg->number();  // 64 bits so that the magnitude of INT32_MIN fits
      char digits[24];
      size_t n = 0;
      bool negative = value < 0;
      uint64_t magnitude = negative ? static_cast<uint64_t>(-value) : static_cast<uint64_t>(value);
      do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
      } while (magnitude != 0);
      while (n < static_cast<size_t>(minDigits)) digits[n++] = '0';
      if (negative && !put("-")) return;
      while (n > 0) {
        if (!put(std::string_view(&digits[--n], 1))) return;
      }
    } else if (conv == 's') {
      const FormatArg* arg = takeArg();
      if (!arg || !arg->isText()) continue;
      if (!put(arg->text())) return;
    } else {
      if (!put(std::string_view(&templ[i - 1], 1))) return;
    }
  }
}

// Length of the UTF-8 sequence that starts with `lead` (1 for a stray byte).
size_t sequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC2) return 2;
  return 1;
}

}  // namespace

void TextBuilder::Reserve(size_t capacity) {
  if (capacity <= capacity_) return;
  capacity_ = capacity;
  text_.reserve(capacity);
}

void TextBuilder::AppendChar(char c) {
  if (text_.size() >= capacity_) {
    // An empty builder would stay at 0 forever with a plain "times four".
    Reserve(std::max<size_t>(capacity_ * 4, 16));
  }
  text_.push_back(c);
}

void TextBuilder::Append(std::string_view text) {
  if (text_.size() + text.size() > capacity_) {
    Reserve(std::max(capacity_ * 4, text_.size() + text.size()));
  }
  text_.append(text);
}

size_t TextBuilder::FormatList(std::string_view templ, FormatArgs args) {
  Reserve(260);
  text_.clear();
  return AppendFormatList(templ, args);
}

size_t TextBuilder::AppendFormatList(std::string_view templ, FormatArgs args) {
  Reserve(260);
  expand(templ, args, [this](std::string_view piece) {
    Append(piece);
    return true;
  });
  return text_.size();
}

size_t formatFixedList(char* buffer, size_t capacity, std::string_view templ, FormatArgs args) {
  if (buffer == nullptr || capacity == 0) return 0;
  size_t length = 0;
  const size_t room = capacity - 1;
  expand(templ, args, [&](std::string_view piece) {
    size_t i = 0;
    while (i < piece.size()) {
      size_t seq = std::min(sequenceLength(static_cast<unsigned char>(piece[i])), piece.size() - i);
      if (length + seq > room) return false;  // cut here, never inside a sequence
      std::copy_n(piece.data() + i, seq, buffer + length);
      length += seq;
      i += seq;
    }
    return true;
  });
  buffer[length] = '\0';
  return length;
}

}  // namespace quillet::base
