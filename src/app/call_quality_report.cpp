// SPDX-License-Identifier: Apache-2.0
// The JSON of a running call's figures.
#include "app/call_quality_report.h"

#include <cstdio>

namespace quillet::app {

namespace {

std::string percentText(double percent) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f", percent);
  return text;
}

// A codec name as a JSON string: the names are ASCII, but quotes and controls are escaped.
std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

std::string_view holdText(bool heldHere, bool heldThere) {
  if (heldHere) {
    return heldThere ? "both" : "here";
  }
  return heldThere ? "there" : "none";
}

std::string qualityJson(const sip::CallFigures& figures, int64_t seconds, std::string_view hold) {
  const media::CallQuality& q = figures.quality;
  return std::string("{\"call\":true,\"codec\":") + jsonString(figures.codec) +
         ",\"seconds\":" + std::to_string(seconds) +
         ",\"packets_sent\":" + std::to_string(q.packetsSent) +
         ",\"packets_received\":" + std::to_string(q.packetsReceived) +
         ",\"packets_expected\":" + std::to_string(q.packetsExpected) +
         ",\"packets_lost\":" + std::to_string(q.packetsLost) +
         ",\"loss_percent\":" + percentText(q.lossPercent()) +
         ",\"jitter_ms\":" + std::to_string(q.jitterMs) + ",\"round_trip_ms\":" +
         (q.roundTripMs ? std::to_string(*q.roundTripMs) : std::string("null")) +
         ",\"round_trip_reports\":" + std::to_string(q.roundTripReports) + ",\"hold\":\"" +
         std::string(hold) + "\"}";
}

}  // namespace quillet::app
