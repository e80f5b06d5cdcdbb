// SPDX-License-Identifier: Apache-2.0
// DtmfReceiver: one digit per telephone event, keyed by the event's RTP timestamp.
#include "media/dtmf_receiver.h"

namespace quillet::media {

std::optional<char> DtmfReceiver::take(uint32_t timestamp, const uint8_t* payload, size_t length) {
  static constexpr char kDigits[] = "0123456789*#ABCD";
  if (length < 4) return std::nullopt;
  if (seen_ && timestamp == lastTimestamp_) return std::nullopt;  // the same event again
  seen_ = true;
  lastTimestamp_ = timestamp;
  const uint8_t event = payload[0];
  if (event >= 16) return std::nullopt;
  return kDigits[event];
}

}  // namespace quillet::media
