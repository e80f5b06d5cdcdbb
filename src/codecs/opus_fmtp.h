// SPDX-License-Identifier: Apache-2.0
// The Opus parameters of an SDP "a=fmtp" line, read into values with their defaults, and
// the encoder settings they ask for.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "codecs/opus_codec.h"

namespace quillet::codecs {

struct OpusFmtp {
  int maxPlaybackRate = 48000;      // the highest audio rate the receiver makes use of
  int spropMaxCaptureRate = 48000;  // the highest audio rate the sender captures
  int maxAverageBitRate = 0;        // 0: not given; else 6000 .. 510000
  int ptimeMs = 0;                  // 0: not given; else 3 .. 120
  int maxPtimeMs = 0;               // 0: not given; else 3 .. 120
  bool useInbandFec = false;        // the receiver makes use of FEC data
  bool useDtx = false;              // the receiver prefers DTX
  bool stereo = false;              // the receiver prefers stereo
  bool spropStereo = false;         // the sender is likely to send stereo
  bool cbr = false;                 // the receiver prefers a constant bit rate
  // One line for each parameter that was refused (its default kept): "maxplaybackrate=0:
  // not a rate in 8000 .. 48000". Unknown parameters are skipped without a line.
  std::vector<std::string> problems;
};

// Reads "maxplaybackrate=16000; useinbandfec=1" and the like: parameters separated by
// ';', names without regard to case, blanks around names and values ignored. Never
// fails: a bad value leaves the default and adds a line to problems.
OpusFmtp parseOpusFmtp(std::string_view text);

// The encoder settings for sending to a receiver with these parameters, starting from
// ours: the bit rate held to maxaveragebitrate, FEC only when the receiver uses it,
// DTX when it prefers it, the audio band held to maxplaybackrate, 10 ms frames when its
// ptime or maxptime asks for less than 20.
OpusSettings opusSettingsFor(const OpusFmtp& peer, OpusSettings ours);

}  // namespace quillet::codecs
