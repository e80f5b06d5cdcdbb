// SPDX-License-Identifier: Apache-2.0
// SipTrace: the daily SIP trace file.
#include "sip/sip_trace.h"

#include <sys/stat.h>

#include <cstring>

namespace quillet::sip {

namespace {
constexpr std::string_view kSeparator =
    "\r\n----------------------------------------------------------------\r\n\r\n";
}

SipTrace::SipTrace(std::string folder, bool enabled, bool audio, Clock clock)
    : folder_(std::move(folder)),
      enabled_(enabled),
      audio_(enabled && audio),
      clock_(clock ? std::move(clock) : Clock([] { return std::time(nullptr); })) {}

SipTrace::~SipTrace() {
  if (file_) std::fclose(file_);
}

std::string SipTrace::fileNameFor(const std::tm& local) {
  char name[64];
  std::snprintf(name, sizeof name, "20%.2d-%.2d-%.2d Quillet SipTrace.txt",
                (local.tm_year + 1900) % 100, local.tm_mon + 1, local.tm_mday);
  return name;
}

std::string SipTrace::addressText(const platform::SocketAddress& address) {
  if (!address.isIpv4() && !address.isIpv6()) return "0.0.0.0:0";
  return address.toString();
}

void SipTrace::lineLocked(std::string_view text) {
  const std::time_t now = clock_();
  if (now != second_) {
    std::tm local{};
    localtime_r(&now, &local);
    std::snprintf(prefix_, sizeof prefix_, "%.2d:%.2d:%.2d ", local.tm_hour, local.tm_min,
                  local.tm_sec);
    if (local.tm_mday != day_ && file_) {
      std::fclose(file_);
      file_ = nullptr;
    }
    if (!file_) {
      ::mkdir(folder_.c_str(), 0755);  // the log folder normally exists already
      path_ = folder_;
      if (!path_.empty() && path_.back() != '/') path_ += '/';
      path_ += fileNameFor(local);
      // Created afresh: each start replaces the trace of the current day.
      file_ = std::fopen(path_.c_str(), "wb");
      day_ = local.tm_mday;
    }
    second_ = now;
  }
  if (!file_) return;
  std::fwrite(prefix_, 1, 9, file_);
  std::fwrite(text.data(), 1, text.size(), file_);
  std::fflush(file_);
}

void SipTrace::rawLocked(std::string_view bytes) {
  if (!file_) return;
  std::fwrite(bytes.data(), 1, bytes.size(), file_);
  std::fflush(file_);
}

void SipTrace::traceLine(std::string_view text) {
  if (!enabled_) return;
  std::lock_guard lock(mutex_);
  lineLocked(text);
}

void SipTrace::traceSent(const platform::SocketAddress& to, std::string_view datagram,
                         TransportKind transport) {
  if (!enabled_) return;
  const std::string line = std::string(viaName(transport)) + " Packet Sent to " + addressText(to) +
                           " >>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>\r\n";
  std::lock_guard lock(mutex_);
  lineLocked(line);
  rawLocked(datagram);
  rawLocked(kSeparator);
}

void SipTrace::traceReceived(const platform::SocketAddress& from, std::string_view datagram,
                             TransportKind transport) {
  if (!enabled_) return;
  const std::string line = std::string(viaName(transport)) + " Packet Received from " +
                           addressText(from) + " <<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<\r\n";
  std::lock_guard lock(mutex_);
  lineLocked(line);
  rawLocked(datagram);
  rawLocked(kSeparator);
}

void SipTrace::traceKeepAlive(std::string_view server) {
  if (!enabled_) return;
  std::string line = "NAT Keep Alive Packet Sent to ";
  line += server;
  line += "\r\n";
  std::lock_guard lock(mutex_);
  lineLocked(line);
}

}  // namespace quillet::sip
