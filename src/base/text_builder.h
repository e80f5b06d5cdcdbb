// SPDX-License-Identifier: Apache-2.0
// TextBuilder: the growable text with the small three-conversion formatter ("%d", "%.Nd",
// "%s") that every SIP, SDP and credentials text is expanded with.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace quillet::base {

// One argument of a template: a signed 32-bit integer for "%d", or a text for "%s".
// A null `const char*` is a text that copies nothing. Integers of other widths are
// converted to 32 bits (the system prints every number as a signed 32-bit value).
class FormatArg {
 public:
  template <std::integral T>
  FormatArg(T value) : isText_(false), number_(static_cast<int32_t>(value)) {}  // NOLINT
  FormatArg(const char* text) : text_(text ? std::string_view(text) : std::string_view()) {}
  FormatArg(std::string_view text) : text_(text) {}    // NOLINT
  FormatArg(const std::string& text) : text_(text) {}  // NOLINT

  bool isText() const { return isText_; }
  int32_t number() const { return number_; }
  std::string_view text() const { return text_; }

 private:
  bool isText_ = true;
  int32_t number_ = 0;
  std::string_view text_;
};

using FormatArgs = std::initializer_list<FormatArg>;

// Template expansion, character by character:
// - a character other than "%" is copied;
// - "%d" takes the next argument as a signed 32-bit integer ("-" then the magnitude);
//   "%.N" before the "d" (N = 1..9) asks for at least N digits, with leading zeros;
// - "%s" copies the next argument's text unchanged (a null text copies nothing);
// - "%" followed by any other character (also "%") copies that character and takes
//   no argument.
// A conversion whose argument is missing, or of the other kind, writes nothing (the
// argument is still consumed); the expansion never reads past the arguments given.
//
// The text is UTF-8; the template's own characters and the "%s" texts are copied byte
// for byte.
class TextBuilder {
 public:
  TextBuilder() = default;

  // Grows the capacity (in bytes, not counting the terminating 0) to at least
  // `capacity`; never shrinks.
  void Reserve(size_t capacity);
  // Appends one byte, growing to four times the capacity when full.
  void AppendChar(char c);
  // Appends text unchanged.
  void Append(std::string_view text);

  // Replaces the contents with the expanded template; answers the new length.
  template <typename... A>
  size_t Format(std::string_view templ, const A&... args) {
    return FormatList(templ, {FormatArg(args)...});
  }
  // Appends the expanded template to the current contents; answers the new length.
  template <typename... A>
  size_t AppendFormat(std::string_view templ, const A&... args) {
    return AppendFormatList(templ, {FormatArg(args)...});
  }
  size_t FormatList(std::string_view templ, FormatArgs args);
  size_t AppendFormatList(std::string_view templ, FormatArgs args);

  const std::string& text() const { return text_; }
  std::string_view view() const { return text_; }
  const char* c_str() const { return text_.c_str(); }
  size_t length() const { return text_.size(); }
  size_t capacity() const { return capacity_; }
  void clear() { text_.clear(); }
  // Hands the text out and leaves the builder empty (capacity is kept as a figure only).
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
  size_t capacity_ = 0;
};

// The fixed-capacity form: expands the template into `buffer`, which holds `capacity`
// bytes including the terminating 0. What does not fit is dropped silently, never
// splitting a UTF-8 sequence, and the result is always terminated (when capacity > 0).
// Answers the length written (without the terminator).
size_t formatFixedList(char* buffer, size_t capacity, std::string_view templ, FormatArgs args);

template <typename... A>
size_t formatFixed(char* buffer, size_t capacity, std::string_view templ, const A&... args) {
  return formatFixedList(buffer, capacity, templ, {FormatArg(args)...});
}

// Convenience: the expansion as a new string.
template <typename... A>
std::string format(std::string_view templ, const A&... args) {
  TextBuilder builder;
  builder.FormatList(templ, {FormatArg(args)...});
  return builder.take();
}

}  // namespace quillet::base
