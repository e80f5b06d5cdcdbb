// SPDX-License-Identifier: Apache-2.0
// Command-line splitting and the hand-over message.
#include "base/command_line.h"

namespace quillet::base {

namespace {
constexpr std::string_view kMarker = "QUILLET-ARGS 1\n";
constexpr std::string_view kCallMarker = "QUILLET-CALL 1\n";

std::string encodeList(std::string_view marker, const std::vector<std::string>& items) {
  std::string out(marker);
  for (const std::string& item : items) {
    // An item cannot hold a NUL coming from argv; cut one defensively.
    out.append(item.substr(0, item.find('\0')));
    out.push_back('\0');
  }
  return out;
}

// The NUL-ended items after a marker; false when the last one is cut short.
bool decodeList(std::string_view message, std::vector<std::string>& items) {
  if (!message.empty() && message.back() != '\0') {
    return false;
  }
  while (!message.empty()) {
    size_t end = message.find('\0');
    items.emplace_back(message.substr(0, end));
    message.remove_prefix(end + 1);
  }
  return true;
}

}  // namespace

std::vector<std::string> splitCommandLine(std::string_view text) {
  std::vector<std::string> out;
  std::string current;
  bool inArgument = false;
  bool quoted = false;
  for (char c : text) {
    bool separator = c == ' ' || (c >= 9 && c <= 13);
    if (c == '"') {
      quoted = !quoted;
      inArgument = true;  // "" is an (empty) argument of its own
    } else if (separator && !quoted) {
      if (inArgument) {
        out.push_back(std::move(current));
        current.clear();
        inArgument = false;
      }
    } else {
      current += c;
      inArgument = true;
    }
  }
  if (inArgument) {
    out.push_back(std::move(current));
  }
  return out;
}

std::string encodeArgumentMessage(const std::vector<std::string>& arguments) {
  return encodeList(kMarker, arguments);
}

bool decodeArgumentMessage(std::string_view message, const std::string& executable,
                           std::vector<std::string>& arguments) {
  arguments.clear();
  if (message.size() > kMaxArgumentMessage) {
    return false;
  }
  if (message.substr(0, kMarker.size()) == kMarker) {
    message.remove_prefix(kMarker.size());
    if (!decodeList(message, arguments)) {
      arguments.clear();
      return false;
    }
    if (arguments.empty()) {
      arguments.push_back(executable);
    }
    return true;
  }
  if (message.find('\0') != std::string_view::npos) {
    return false;
  }
  arguments.push_back(executable);
  for (std::string& argument : splitCommandLine(message)) {
    arguments.push_back(std::move(argument));
  }
  return true;
}

std::string encodeCallMessage(const std::vector<std::string>& words) {
  return encodeList(kCallMarker, words);
}

bool isCallMessage(std::string_view message) {
  return message.substr(0, kCallMarker.size()) == kCallMarker;
}

bool decodeCallMessage(std::string_view message, std::vector<std::string>& words) {
  words.clear();
  if (message.size() > kMaxArgumentMessage || !isCallMessage(message)) {
    return false;
  }
  message.remove_prefix(kCallMarker.size());
  if (!decodeList(message, words) || words.empty()) {
    words.clear();
    return false;
  }
  return true;
}

}  // namespace quillet::base
