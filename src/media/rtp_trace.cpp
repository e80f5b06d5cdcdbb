// SPDX-License-Identifier: Apache-2.0
// The RTP trace sink that traces nothing.
#include "media/rtp_trace.h"

namespace quillet::media {

namespace {

class NoRtpTrace : public RtpTrace {
 public:
  bool rtpTraceOn() const override { return false; }
  void traceRtpLine(const std::string& /*line*/) override {}
};

}  // namespace

RtpTrace& noRtpTrace() {
  static NoRtpTrace trace;
  return trace;
}

}  // namespace quillet::media
