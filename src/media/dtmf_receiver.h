// SPDX-License-Identifier: Apache-2.0
// DtmfReceiver: the digits of received telephone-event packets (RFC 4733). An event is
// sent as several packets with one RTP timestamp (updates, then three end packets); the
// digit is taken once, from the first of them that arrives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace quillet::media {

class DtmfReceiver {
 public:
  // A received telephone-event packet's timestamp and payload: the digit when it begins a
  // new event ("0"-"9", "*", "#", "A"-"D"); nothing for the rest of an event, other events
  // (flash and the like) and payloads shorter than the 4 bytes of an event.
  std::optional<char> take(uint32_t timestamp, const uint8_t* payload, size_t length);

  // A new call: the next event is new whatever its timestamp.
  void reset() { seen_ = false; }

 private:
  bool seen_ = false;
  uint32_t lastTimestamp_ = 0;
};

}  // namespace quillet::media
