// SPDX-License-Identifier: Apache-2.0
// SipTrace: the file's name, the one-line entries and the daily file change.
#include "sip/sip_trace.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace quillet::sip {
namespace {

namespace fs = std::filesystem;

class SipTraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("sip-trace-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static platform::SocketAddress address(const char* ip, uint16_t port) {
    return *platform::SocketAddress::parse(ip, port);
  }

  fs::path dir_;
};

// 2026-03-05 13:04:09 UTC
constexpr std::time_t kMorning = 1772715849;

TEST_F(SipTraceTest, WritesNothingWhenOffWhateverTheAudioOption) {
  SipTrace trace(dir_.string(), false, true, [] { return kMorning; });
  EXPECT_FALSE(trace.rtpTraceOn());
  trace.traceSent(address("10.0.0.1", 5060), "INVITE");
  trace.traceKeepAlive("pbx");
  EXPECT_TRUE(fs::is_empty(dir_));
}

// The framing of the datagram entries is checked on every interop run's trace
// (sipharness.trace_is_well_framed); here the daily files and the one-line entries.
TEST_F(SipTraceTest, TheFirstEntryReplacesTheDaysOldFileAndMidnightStartsTheNext) {
  std::ofstream(dir_ / "2026-03-05 Quillet SipTrace.txt") << "old run\r\n";
  std::time_t now = 1772755199;  // 2026-03-05 23:59:59 UTC
  SipTrace trace(dir_.string(), true, true, [&] { return now; });
  EXPECT_TRUE(trace.rtpTraceOn());
  trace.traceRtpLine("1234ms Rtp >>> 10.0.0.2:8000 Mark 0 seq=1 ts=2 ssrc=3 160 bytes\r\n");
  now += 2;
  trace.traceKeepAlive("sip.example.com:5080");
  EXPECT_EQ(read(dir_ / "2026-03-05 Quillet SipTrace.txt"),
            "23:59:59 1234ms Rtp >>> 10.0.0.2:8000 Mark 0 seq=1 ts=2 ssrc=3 160 bytes\r\n");
  EXPECT_EQ(read(dir_ / "2026-03-06 Quillet SipTrace.txt"),
            "00:00:01 NAT Keep Alive Packet Sent to sip.example.com:5080\r\n");
}

}  // namespace
}  // namespace quillet::sip
