// SPDX-License-Identifier: Apache-2.0
// RtpTrace: where the RTP layer writes its per-packet trace lines. The SIP trace file
// implements it; by default nothing is traced.
#pragma once

#include <string>

namespace quillet::media {

class RtpTrace {
 public:
  virtual ~RtpTrace() = default;
  // True when every RTP packet is to be traced.
  virtual bool rtpTraceOn() const = 0;
  // One complete line (it ends with CR LF).
  virtual void traceRtpLine(const std::string& line) = 0;
};

// The sink that traces nothing.
RtpTrace& noRtpTrace();

}  // namespace quillet::media
