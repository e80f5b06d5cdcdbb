// SPDX-License-Identifier: Apache-2.0
// Reading application/simple-message-summary bodies.
#include "sip/message_summary.h"

#include <cctype>
#include <string>

namespace quillet::sip {

namespace {

constexpr int32_t kMostMessages = 999999;

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

bool sameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// A count of up to six digits at the start of `text`, which it leaves after them.
std::optional<int32_t> takeCount(std::string_view& text) {
  size_t digits = 0;
  int32_t value = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) {
    if (digits == 6) return std::nullopt;
    value = value * 10 + (text[digits] - '0');
    ++digits;
  }
  if (digits == 0) return std::nullopt;
  text.remove_prefix(digits);
  return std::min(value, kMostMessages);
}

// "new/old" with an optional "(urgent-new/urgent-old)" after it.
bool readVoiceCounts(std::string_view value, MessageSummary& summary) {
  const std::optional<int32_t> fresh = takeCount(value);
  value = trim(value);
  if (!fresh || value.empty() || value.front() != '/') return false;
  value.remove_prefix(1);
  value = trim(value);
  const std::optional<int32_t> old = takeCount(value);
  if (!old) return false;
  summary.newVoice = *fresh;
  summary.oldVoice = *old;
  return true;
}

}  // namespace

std::optional<MessageSummary> parseMessageSummary(std::string_view body) {
  MessageSummary summary;
  bool statusSeen = false;
  while (!body.empty()) {
    const size_t end = body.find('\n');
    const std::string_view line = trim(body.substr(0, end));
    body = end == std::string_view::npos ? std::string_view{} : body.substr(end + 1);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = trim(line.substr(0, colon));
    const std::string_view value = trim(line.substr(colon + 1));
    if (sameText(name, "Messages-Waiting")) {
      if (sameText(value, "yes")) {
        summary.waiting = true;
      } else if (!sameText(value, "no")) {
        return std::nullopt;
      }
      statusSeen = true;
    } else if (sameText(name, "Voice-Message")) {
      if (!readVoiceCounts(value, summary)) {
        summary.newVoice = summary.oldVoice = -1;
      }
    }
  }
  if (!statusSeen) return std::nullopt;
  return summary;
}

}  // namespace quillet::sip
