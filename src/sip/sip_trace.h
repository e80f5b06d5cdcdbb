// SPDX-License-Identifier: Apache-2.0
// SipTrace: the daily SIP trace file (every datagram sent and received, NAT keep-alives
// and, with the audio option, one line per RTP packet).
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "media/rtp_trace.h"
#include "platform/socket_address.h"
#include "sip/transport_kind.h"

namespace quillet::sip {

class SipTrace : public media::RtpTrace {
 public:
  // Local-time source; tests replace it to cross midnight.
  using Clock = std::function<std::time_t()>;

  // folder: the log folder the daily file goes to. enabled/audio: "SipTraceOn" and
  // "SipTraceAudioOn"; the audio option only counts when tracing is on.
  SipTrace(std::string folder, bool enabled, bool audio, Clock clock = {});
  ~SipTrace() override;

  SipTrace(const SipTrace&) = delete;
  SipTrace& operator=(const SipTrace&) = delete;

  // One timestamped line ("HH:MM:SS " then the text, which carries its own line end).
  void traceLine(std::string_view text);

  // The entries of the SIP transport; each is written whole under the trace's lock so
  // that entries of different threads never interleave.
  // "UDP Packet Sent to ...", "TCP ..." or "TLS ..." by the way the message went.
  void traceSent(const platform::SocketAddress& to, std::string_view datagram,
                 TransportKind transport = TransportKind::Udp);
  void traceReceived(const platform::SocketAddress& from, std::string_view datagram,
                     TransportKind transport = TransportKind::Udp);
  void traceKeepAlive(std::string_view server);

  // "20YY-MM-DD Quillet SipTrace.txt": the file name for a local date.
  static std::string fileNameFor(const std::tm& local);
  // "%d.%d.%d.%d:%d", or "[IPv6]:%d"
  static std::string addressText(const platform::SocketAddress& address);

  // The RTP layer's lines (only with the audio option).
  bool rtpTraceOn() const override { return audio_; }
  void traceRtpLine(const std::string& line) override { traceLine(line); }

 private:
  void lineLocked(std::string_view text);
  void rawLocked(std::string_view bytes);

  std::string folder_;
  bool enabled_;
  bool audio_;
  Clock clock_;
  mutable std::mutex mutex_;
  std::FILE* file_ = nullptr;
  std::string path_;
  char prefix_[10] = {};
  std::time_t second_ = -1;
  int day_ = -1;
};

}  // namespace quillet::sip
