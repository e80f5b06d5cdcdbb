// SPDX-License-Identifier: Apache-2.0
// The running call's figures as quillet-tool call stats prints them.
#include "app/call_quality_report.h"

#include <gtest/gtest.h>

namespace quillet::app {
namespace {

sip::CallFigures lossyCall() {
  sip::CallFigures figures;
  figures.codec = "GSM/8000";
  figures.quality.packetsSent = 1500;
  figures.quality.packetsReceived = 1425;
  figures.quality.packetsExpected = 1500;
  figures.quality.packetsLost = 75;
  figures.quality.jitterMs = 12;
  return figures;
}

TEST(CallQualityReport, JsonCarriesEveryFigureAndNullBeforeTheFirstReport) {
  sip::CallFigures figures = lossyCall();
  EXPECT_EQ(qualityJson(figures, 30, holdText(false, false)),
            R"({"call":true,"codec":"GSM/8000","seconds":30,"packets_sent":1500,)"
            R"("packets_received":1425,"packets_expected":1500,"packets_lost":75,)"
            R"("loss_percent":5.0,"jitter_ms":12,"round_trip_ms":null,"round_trip_reports":0,)"
            R"("hold":"none"})");
  figures.quality.roundTripMs = 64;
  figures.quality.roundTripReports = 6;
  figures.codec = "odd\"name\n";  // never sent by a peer, but the JSON stays valid
  const std::string json = qualityJson(figures, 31, holdText(true, true));
  EXPECT_NE(json.find(R"("codec":"odd\"name\u000a")"), std::string::npos) << json;
  EXPECT_NE(json.find(R"("round_trip_ms":64,"round_trip_reports":6,"hold":"both"})"),
            std::string::npos)
      << json;
  EXPECT_EQ(holdText(true, false), "here");
  EXPECT_EQ(holdText(false, true), "there");
}

}  // namespace
}  // namespace quillet::app
