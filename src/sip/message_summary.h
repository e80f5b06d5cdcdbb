// SPDX-License-Identifier: Apache-2.0
// The message-waiting summary a voicemail server sends in its NOTIFYs
// (application/simple-message-summary): whether messages wait and how many voice messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quillet::sip {

struct MessageSummary {
  bool waiting = false;
  int32_t newVoice = -1;  // -1: the server did not say
  int32_t oldVoice = -1;
  bool operator==(const MessageSummary&) const = default;
};

// Reads a summary body; nothing when it lacks a valid "Messages-Waiting" line. Header names
// are read in any case; unknown lines and message classes other than voice are ignored.
std::optional<MessageSummary> parseMessageSummary(std::string_view body);

}  // namespace quillet::sip
