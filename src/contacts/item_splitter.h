// SPDX-License-Identifier: Apache-2.0
// Splits a comma-separated text into items with optional double-quoted parts. Used for
// the lines of imported CSV files and for the intercom allow list.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::contacts {

// An item is the text up to the next comma or double quote. A double quote begins a
// quoted part, copied up to the next double quote, where two double quotes in a row stand
// for one; text after the closing quote up to the next comma is skipped. After an item the
// comma and all following characters below 33 are skipped. An item keeps at most 259
// characters; the rest of a longer item is dropped.
class ItemSplitter {
 public:
  explicit ItemSplitter(std::string_view text) : text_(text) {}

  // Whether the text is used up; next() then answers empty items.
  bool atEnd() const { return pos_ >= text_.size(); }
  std::string next();

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

// Every item of the text, in order; an empty text has none, two commas in a row give an
// empty item, and a comma at the end gives none after it.
std::vector<std::string> splitItems(std::string_view text);

}  // namespace quillet::contacts
