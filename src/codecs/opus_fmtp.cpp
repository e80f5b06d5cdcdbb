// SPDX-License-Identifier: Apache-2.0
// Reader of the Opus fmtp parameters.
#include "codecs/opus_fmtp.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>

namespace quillet::codecs {

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// A decimal number of at most nine digits, no sign.
std::optional<int> number(std::string_view s) {
  if (s.empty() || s.size() > 9) return std::nullopt;
  int value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The printable start of a value for a message (values come from the network).
std::string shown(std::string_view s) {
  std::string out;
  for (char c : s.substr(0, 32)) out += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
  if (s.size() > 32) out += "...";
  return out;
}

class Reader {
 public:
  explicit Reader(OpusFmtp& out) : out_(out) {}

  void parameter(std::string_view name, std::string_view value) {
    const std::string key = lower(name);
    if (key == "maxplaybackrate") {
      range(key, value, 8000, 48000, "a rate in 8000 .. 48000", out_.maxPlaybackRate);
    } else if (key == "sprop-maxcapturerate") {
      range(key, value, 8000, 48000, "a rate in 8000 .. 48000", out_.spropMaxCaptureRate);
    } else if (key == "maxaveragebitrate") {
      range(key, value, 6000, 510000, "a bit rate in 6000 .. 510000", out_.maxAverageBitRate);
    } else if (key == "ptime") {
      range(key, value, 3, 120, "a time in 3 .. 120 ms", out_.ptimeMs);
    } else if (key == "maxptime") {
      range(key, value, 3, 120, "a time in 3 .. 120 ms", out_.maxPtimeMs);
    } else if (key == "useinbandfec") {
      flag(key, value, out_.useInbandFec);
    } else if (key == "usedtx") {
      flag(key, value, out_.useDtx);
    } else if (key == "stereo") {
      flag(key, value, out_.stereo);
    } else if (key == "sprop-stereo") {
      flag(key, value, out_.spropStereo);
    } else if (key == "cbr") {
      flag(key, value, out_.cbr);
    }
  }

 private:
  void range(const std::string& key, std::string_view value, int low, int high, const char* what,
             int& field) {
    const std::optional<int> n = number(value);
    if (n && *n >= low && *n <= high) {
      field = *n;
    } else {
      out_.problems.push_back(key + "=" + shown(value) + ": not " + what);
    }
  }

  void flag(const std::string& key, std::string_view value, bool& field) {
    if (value == "0" || value == "1") {
      field = value == "1";
    } else {
      out_.problems.push_back(key + "=" + shown(value) + ": not 0 or 1");
    }
  }

  OpusFmtp& out_;
};

}  // namespace

OpusFmtp parseOpusFmtp(std::string_view text) {
  OpusFmtp out;
  Reader reader(out);
  while (!text.empty()) {
    const size_t end = std::min(text.find(';'), text.size());
    const std::string_view item = trim(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
    if (item.empty()) continue;
    const size_t equals = item.find('=');
    if (equals == std::string_view::npos) {
      out.problems.push_back(shown(item) + ": no value");
      continue;
    }
    reader.parameter(trim(item.substr(0, equals)), trim(item.substr(equals + 1)));
  }
  return out;
}

OpusSettings opusSettingsFor(const OpusFmtp& peer, OpusSettings ours) {
  if (peer.maxAverageBitRate > 0) ours.bitRate = std::min(ours.bitRate, peer.maxAverageBitRate);
  ours.inbandFec = ours.inbandFec && peer.useInbandFec;
  ours.dtx = ours.dtx || peer.useDtx;
  ours.maxAudioRate = std::min(ours.maxAudioRate, peer.maxPlaybackRate);
  const int wanted =
      std::min(peer.ptimeMs > 0 ? peer.ptimeMs : 20, peer.maxPtimeMs > 0 ? peer.maxPtimeMs : 20);
  if (wanted < 20) ours.frameMs = 10;
  return ours;
}

}  // namespace quillet::codecs
