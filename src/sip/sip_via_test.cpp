// SPDX-License-Identifier: Apache-2.0
// Tests of the top Via's received/rport: stamped into received requests (and so echoed in
// every response), and read back from responses.
#include "sip/sip_via.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "sip/sip_templates.h"

namespace quillet::sip {
namespace {

platform::SocketAddress from(const char* address, uint16_t port) {
  return *platform::SocketAddress::parse(address, port);
}

// The Via values of a request after stamping, as its response echoes them.
std::vector<std::string> stampedVias(const std::string& vias,
                                     const platform::SocketAddress& source) {
  auto request = SipMessage::parse("OPTIONS sip:a@192.0.2.1 SIP/2.0\r\n" + vias +
                                   "To: <sip:a@192.0.2.1>\r\nFrom: <sip:b@h>;tag=1\r\n"
                                   "Call-ID: 1@h\r\nCSeq: 1 OPTIONS\r\n\r\n");
  EXPECT_TRUE(request);
  if (!request) return {};
  stampTopVia(*request, source);
  ResponseSpec form;
  auto response = SipMessage::parse(buildResponse(*request, form));
  EXPECT_TRUE(response);
  return response ? response->headerValues(hdr::kVia) : std::vector<std::string>{};
}

using Vias = std::vector<std::string>;

TEST(StampTopVia, ReceivedWhenTheSourceDiffersAndRportWhenAskedFor) {
  const platform::SocketAddress nat = from("198.51.100.7", 40001);
  // Same host, no rport: untouched.
  EXPECT_EQ(stampedVias("Via: SIP/2.0/UDP 198.51.100.7:5060;branch=z9hG4bK1\r\n", nat),
            Vias{"SIP/2.0/UDP 198.51.100.7:5060;branch=z9hG4bK1"});
  // Another host: received; only the top Via changes.
  EXPECT_EQ(stampedVias("Via: SIP/2.0/UDP 10.0.0.5:5060;branch=z9hG4bK1\r\n"
                        "Via: SIP/2.0/UDP 10.0.0.9;branch=z9hG4bK0\r\n",
                        nat),
            (Vias{"SIP/2.0/UDP 10.0.0.5:5060;branch=z9hG4bK1;received=198.51.100.7",
                  "SIP/2.0/UDP 10.0.0.9;branch=z9hG4bK0"}));
  // rport without a value, where it stands; received as well (the sender asks where it
  // was seen from), even from its own host.
  EXPECT_EQ(stampedVias("Via: SIP/2.0/UDP 10.0.0.5:5060;rport;branch=z9hG4bK1\r\n", nat),
            Vias{"SIP/2.0/UDP 10.0.0.5:5060;rport=40001;branch=z9hG4bK1;received=198.51.100.7"});
  EXPECT_EQ(stampedVias("v: SIP/2.0/UDP 198.51.100.7;branch=z9hG4bK1; rport\r\n", nat),
            Vias{"SIP/2.0/UDP 198.51.100.7;branch=z9hG4bK1; rport=40001;received=198.51.100.7"});
  // Values already there are replaced; a list in one header changes its first element.
  EXPECT_EQ(stampedVias("Via: SIP/2.0/UDP h.example;received=1.2.3.4;rport=9;branch=z9hG4bK1 , "
                        "SIP/2.0/UDP 10.0.0.9;rport;branch=z9hG4bK0\r\n",
                        nat),
            Vias{"SIP/2.0/UDP h.example;received=198.51.100.7;rport=40001;branch=z9hG4bK1 , "
                 "SIP/2.0/UDP 10.0.0.9;rport;branch=z9hG4bK0"});
}

// An IPv6 source: the received value has no brackets, and the same address written another
// way is the same host.
TEST(StampTopVia, Ipv6Sources) {
  const platform::SocketAddress six = from("2001:db8::7", 40001);
  EXPECT_EQ(stampedVias("Via: SIP/2.0/UDP [2001:db8:0::7]:5060;branch=z9hG4bK1\r\n", six),
            Vias{"SIP/2.0/UDP [2001:db8:0::7]:5060;branch=z9hG4bK1"});
  EXPECT_EQ(
      stampedVias("Via: SIP/2.0/TCP [2001:db8::9]:5060;rport;branch=z9hG4bK1\r\n", six),
      Vias{"SIP/2.0/TCP [2001:db8::9]:5060;rport=40001;branch=z9hG4bK1;received=2001:db8::7"});
}

TEST(ReportedAddress, ReceivedAndRportOfTheTopVia) {
  auto reported = [](const std::string& vias) {
    auto response = SipMessage::parse("SIP/2.0 200 OK\r\n" + vias + "\r\n");
    EXPECT_TRUE(response);
    return reportedAddress(*response);
  };
  EXPECT_EQ(reported("Via: SIP/2.0/UDP 10.0.0.5:5070;rport=40001;received=198.51.100.7\r\n"
                     "Via: SIP/2.0/UDP 10.0.0.9;rport=1;received=192.0.2.9\r\n"),
            (ReportedAddress{"198.51.100.7", 40001}));
  // Received alone keeps the sent-by port (5060 when none); rport alone the sent-by host.
  EXPECT_EQ(reported("Via: SIP/2.0/UDP 10.0.0.5:5070;received=198.51.100.7\r\n"),
            (ReportedAddress{"198.51.100.7", 5070}));
  EXPECT_EQ(reported("Via: SIP/2.0/UDP 10.0.0.5;received=198.51.100.7\r\n"),
            (ReportedAddress{"198.51.100.7", 5060}));
  EXPECT_EQ(reported("Via: SIP/2.0/UDP 198.51.100.7:5070;RPORT=40002;branch=z9hG4bK1\r\n"),
            (ReportedAddress{"198.51.100.7", 40002}));
  // Nothing reported: no Via, an rport without value, one out of range.
  EXPECT_FALSE(reported(""));
  EXPECT_FALSE(reported("Via: SIP/2.0/UDP 10.0.0.5:5070;rport;branch=z9hG4bK1\r\n"));
  EXPECT_FALSE(reported("Via: SIP/2.0/UDP 10.0.0.5:5070;rport=70000\r\n"));
}

}  // namespace
}  // namespace quillet::sip
