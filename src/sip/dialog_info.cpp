// SPDX-License-Identifier: Apache-2.0
// Writing and reading dialog-info documents: a bounded tokenizer (tags, attributes, text,
// comments and the XML declaration; nothing else) and the walk that picks the dialogs.
#include "sip/dialog_info.h"

#include <utility>

namespace quillet::sip {

namespace {

std::string escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == ':' || static_cast<unsigned char>(c) >= 0x80;
}

std::string_view localName(std::string_view name) {
  const size_t colon = name.rfind(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::string_view trimmedText(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}

// Replaces the five predefined entities and numeric ASCII references; false for others.
bool unescape(std::string_view text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    const size_t end = text.find(';', i);
    if (end == std::string_view::npos || end - i > 8) return false;
    const std::string_view name = text.substr(i + 1, end - i - 1);
    if (name == "lt")
      out += '<';
    else if (name == "gt")
      out += '>';
    else if (name == "amp")
      out += '&';
    else if (name == "quot")
      out += '"';
    else if (name == "apos")
      out += '\'';
    else if (name.size() >= 2 && name[0] == '#' && name[1] != 'x') {
      uint32_t value = 0;
      for (const char d : name.substr(1)) {
        if (d < '0' || d > '9') return false;
        value = value * 10 + static_cast<uint32_t>(d - '0');
      }
      if (value == 0 || value > 0x7f) return false;
      out += static_cast<char>(value);
    } else {
      return false;
    }
    i = end;
  }
  return true;
}

struct Tag {
  enum class Kind { Start, End, Text } kind = Kind::Text;
  std::string_view name;
  std::vector<std::pair<std::string_view, std::string>> attributes;
  bool selfClosing = false;
  std::string text;
};

class Tokenizer {
 public:
  explicit Tokenizer(std::string_view in) : in_(in) {}

  // The next tag or text run; false at the end or, with `bad_` set, on malformed input.
  bool next(Tag& tag) {
    while (pos_ < in_.size()) {
      if (in_[pos_] != '<') return text(tag);
      if (startsWith("<?")) {
        if (!skipPast("?>")) return failed();
      } else if (startsWith("<!--")) {
        if (!skipPast("-->")) return failed();
      } else if (startsWith("<!")) {
        return failed();  // DOCTYPE, CDATA: never in these documents
      } else {
        return element(tag);
      }
    }
    return false;
  }
  bool bad() const { return bad_; }

 private:
  bool failed() {
    bad_ = true;
    return false;
  }
  bool startsWith(std::string_view prefix) const {
    return in_.substr(pos_, prefix.size()) == prefix;
  }
  bool skipPast(std::string_view end) {
    const size_t at = in_.find(end, pos_);
    if (at == std::string_view::npos) return false;
    pos_ = at + end.size();
    return true;
  }
  void skipSpace() {
    while (pos_ < in_.size() && isSpace(in_[pos_])) ++pos_;
  }
  std::string_view name() {
    const size_t start = pos_;
    while (pos_ < in_.size() && isNameChar(in_[pos_])) ++pos_;
    return in_.substr(start, pos_ - start);
  }
  bool text(Tag& tag) {
    const size_t end = std::min(in_.find('<', pos_), in_.size());
    tag = Tag{};
    if (!unescape(in_.substr(pos_, end - pos_), tag.text)) return failed();
    pos_ = end;
    return true;
  }
  bool element(Tag& tag) {
    tag = Tag{};
    ++pos_;
    const bool closing = pos_ < in_.size() && in_[pos_] == '/';
    if (closing) ++pos_;
    tag.kind = closing ? Tag::Kind::End : Tag::Kind::Start;
    tag.name = name();
    if (tag.name.empty()) return failed();
    for (;;) {
      skipSpace();
      if (pos_ >= in_.size()) return failed();
      if (in_[pos_] == '>') {
        ++pos_;
        return true;
      }
      if (!closing && startsWith("/>")) {
        pos_ += 2;
        tag.selfClosing = true;
        return true;
      }
      if (closing || !attribute(tag)) return failed();
    }
  }
  bool attribute(Tag& tag) {
    const std::string_view key = name();
    skipSpace();
    if (key.empty() || pos_ >= in_.size() || in_[pos_] != '=') return false;
    ++pos_;
    skipSpace();
    if (pos_ >= in_.size() || (in_[pos_] != '"' && in_[pos_] != '\'')) return false;
    const char quote = in_[pos_++];
    const size_t end = in_.find(quote, pos_);
    if (end == std::string_view::npos) return false;
    std::string value;
    const std::string_view raw = in_.substr(pos_, end - pos_);
    if (raw.find('<') != std::string_view::npos || !unescape(raw, value)) return false;
    pos_ = end + 1;
    tag.attributes.emplace_back(key, std::move(value));
    return true;
  }

  std::string_view in_;
  size_t pos_ = 0;
  bool bad_ = false;
};

std::string attributeOf(const Tag& tag, std::string_view key) {
  for (const auto& [name, value] : tag.attributes)
    if (localName(name) == key) return value;
  return {};
}

bool readVersion(std::string_view text, uint32_t& out) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t value = 0;
  for (const char d : text) {
    if (d < '0' || d > '9') return false;
    value = value * 10 + static_cast<uint64_t>(d - '0');
  }
  if (value > UINT32_MAX) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

std::string_view lineStateName(LineState state) {
  switch (state) {
    case LineState::Idle:
      return "free";
    case LineState::Ringing:
      return "ringing";
    case LineState::Busy:
      return "busy";
    case LineState::DoNotDisturb:
      return "do-not-disturb";
  }
  return "free";
}

std::string writeDialogInfo(const DialogInfo& info) {
  std::string out =
      "<?xml version=\"1.0\"?>\n<dialog-info xmlns=\"urn:ietf:params:xml:ns:dialog-info\"";
  out += " version=\"" + std::to_string(info.version) + "\" state=\"" +
         (info.full ? "full" : "partial") + "\" entity=\"" + escaped(info.entity) + "\">\n";
  for (const DialogEntry& d : info.dialogs) {
    out += "<dialog id=\"" + escaped(d.id) + "\"";
    if (!d.direction.empty()) out += " direction=\"" + escaped(d.direction) + "\"";
    out += "><state>" + escaped(d.state) + "</state>";
    if (d.doNotDisturb) out += "<dnd xmlns=\"" + std::string(kDoNotDisturbNamespace) + "\"/>";
    out += "</dialog>\n";
  }
  out += "</dialog-info>\n";
  return out;
}

std::optional<DialogInfo> parseDialogInfo(std::string_view body) {
  if (body.size() > kMaxDialogInfoBytes) return std::nullopt;
  Tokenizer tokens(body);
  std::vector<std::string_view> open;  // the names of the elements open, outermost first
  DialogInfo info;
  bool rootSeen = false;
  bool rootClosed = false;
  Tag tag;
  while (tokens.next(tag)) {
    if (tag.kind == Tag::Kind::Text) {
      if (open.empty() && !trimmedText(tag.text).empty()) return std::nullopt;
      // The text of <state> directly inside a dialog.
      if (open.size() == 3 && localName(open[2]) == "state" && !info.dialogs.empty())
        info.dialogs.back().state += std::string(trimmedText(tag.text));
      continue;
    }
    if (tag.kind == Tag::Kind::End) {
      if (open.empty() || open.back() != tag.name) return std::nullopt;
      open.pop_back();
      rootClosed = rootClosed || open.empty();
      continue;
    }
    const std::string_view local = localName(tag.name);
    if (open.empty()) {
      if (rootSeen || local != "dialog-info") return std::nullopt;
      rootSeen = true;
      if (!readVersion(attributeOf(tag, "version"), info.version)) return std::nullopt;
      info.full = attributeOf(tag, "state") != "partial";
      info.entity = attributeOf(tag, "entity");
    } else if (open.size() == 1 && local == "dialog") {
      if (info.dialogs.size() >= kMaxDialogInfoDialogs) return std::nullopt;
      info.dialogs.push_back({attributeOf(tag, "id"), {}, attributeOf(tag, "direction"), false});
    } else if (open.size() == 2 && local == "dnd" && !info.dialogs.empty() &&
               attributeOf(tag, "xmlns") == kDoNotDisturbNamespace) {
      info.dialogs.back().doNotDisturb = true;
    }
    if (!tag.selfClosing) {
      if (open.size() >= kMaxDialogInfoDepth) return std::nullopt;
      open.push_back(tag.name);
    } else if (open.empty()) {
      rootClosed = true;
    }
  }
  if (tokens.bad() || !rootSeen || !rootClosed || !open.empty()) return std::nullopt;
  return info;
}

LineState lineStateOf(const DialogInfo& info) {
  LineState shown = LineState::Idle;
  for (const DialogEntry& d : info.dialogs) {
    LineState state = LineState::Idle;
    if (d.doNotDisturb)
      state = LineState::DoNotDisturb;
    else if (d.state == "confirmed")
      state = LineState::Busy;
    else if (d.state == "trying" || d.state == "proceeding" || d.state == "early")
      state = LineState::Ringing;
    if (state > shown) shown = state;
  }
  return shown;
}

}  // namespace quillet::sip
