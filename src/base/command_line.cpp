// Command-line splitting and the hand-over message.
#include "base/command_line.h"

namespace quillet::base {

namespace {
constexpr std::string_view kMarker = "QUILLET-ARGS 1\n";
}

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
  std::string out(kMarker);
  for (const std::string& argument : arguments) {
    // An argument cannot hold a NUL coming from argv; cut one defensively.
    out.append(argument.substr(0, argument.find('\0')));
    out.push_back('\0');
  }
  return out;
}

bool decodeArgumentMessage(std::string_view message, const std::string& executable,
                           std::vector<std::string>& arguments) {
  arguments.clear();
  if (message.size() > kMaxArgumentMessage) {
    return false;
  }
  if (message.substr(0, kMarker.size()) == kMarker) {
    message.remove_prefix(kMarker.size());
    if (!message.empty() && message.back() != '\0') {
      return false;  // cut short
    }
    while (!message.empty()) {
      size_t end = message.find('\0');
      arguments.emplace_back(message.substr(0, end));
      message.remove_prefix(end + 1);
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

}  // namespace quillet::base
