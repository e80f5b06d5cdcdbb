// SPDX-License-Identifier: Apache-2.0
// The comma/quote item splitter.
#include "contacts/item_splitter.h"

#include "contacts/contact_text.h"

namespace quillet::contacts {

std::string ItemSplitter::next() {
  std::string item;
  while (pos_ < text_.size() && text_[pos_] != ',') {
    if (text_[pos_] != '"') {
      item += text_[pos_++];
      continue;
    }
    ++pos_;  // opening quote
    while (pos_ < text_.size()) {
      if (text_[pos_] != '"') {
        item += text_[pos_++];
      } else if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '"') {
        item += '"';
        pos_ += 2;
      } else {
        ++pos_;  // closing quote
        break;
      }
    }
    while (pos_ < text_.size() && text_[pos_] != ',') {
      ++pos_;  // text after the quoted part is not part of the item
    }
  }
  if (pos_ < text_.size()) {
    ++pos_;  // the comma
    while (pos_ < text_.size() && static_cast<unsigned char>(text_[pos_]) < 33) {
      ++pos_;
    }
  }
  cutToChars(item, kMaxTextChars);
  return item;
}

std::vector<std::string> splitItems(std::string_view text) {
  std::vector<std::string> items;
  ItemSplitter splitter(text);
  while (!splitter.atEnd()) {
    items.push_back(splitter.next());
  }
  return items;
}

}  // namespace quillet::contacts
