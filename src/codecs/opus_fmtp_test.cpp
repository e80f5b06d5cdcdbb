// SPDX-License-Identifier: Apache-2.0
// The Opus fmtp reader on lines that real offers carry and on damaged ones, and the
// encoder settings it derives.
#include "codecs/opus_fmtp.h"

#include <gtest/gtest.h>

namespace quillet::codecs {
namespace {

TEST(OpusFmtp, ReadsEveryParameterAndKeepsDefaultsForTheRest) {
  const OpusFmtp none = parseOpusFmtp("");
  EXPECT_EQ(none.maxPlaybackRate, 48000);
  EXPECT_EQ(none.spropMaxCaptureRate, 48000);
  EXPECT_EQ(none.maxAverageBitRate, 0);
  EXPECT_FALSE(none.useInbandFec);
  EXPECT_FALSE(none.useDtx);
  EXPECT_TRUE(none.problems.empty());

  const OpusFmtp all = parseOpusFmtp(
      " MaxPlaybackRate=16000; sprop-maxcapturerate = 24000 ;maxaveragebitrate=20000;"
      "useinbandfec=1; usedtx=1; stereo=1; sprop-stereo=1; cbr=1; ptime=40; maxptime=60;"
      " minptime=10; x-vendor=abc;;");
  EXPECT_EQ(all.maxPlaybackRate, 16000);
  EXPECT_EQ(all.spropMaxCaptureRate, 24000);
  EXPECT_EQ(all.maxAverageBitRate, 20000);
  EXPECT_TRUE(all.useInbandFec && all.useDtx && all.stereo && all.spropStereo && all.cbr);
  EXPECT_EQ(all.ptimeMs, 40);
  EXPECT_EQ(all.maxPtimeMs, 60);
  EXPECT_TRUE(all.problems.empty()) << all.problems.front();

  // The usual browser line.
  const OpusFmtp web = parseOpusFmtp("minptime=10;useinbandfec=1");
  EXPECT_TRUE(web.useInbandFec);
  EXPECT_TRUE(web.problems.empty());
}

TEST(OpusFmtp, BadValuesKeepTheDefaultAndSaySo) {
  const OpusFmtp bad = parseOpusFmtp(
      "maxplaybackrate=0;sprop-maxcapturerate=96000;maxaveragebitrate=99999999999999;"
      "useinbandfec=yes;usedtx=-1;ptime=0;maxptime=1000;stereo;cbr=\x01\xff");
  EXPECT_EQ(bad.maxPlaybackRate, 48000);
  EXPECT_EQ(bad.spropMaxCaptureRate, 48000);
  EXPECT_EQ(bad.maxAverageBitRate, 0);
  EXPECT_FALSE(bad.useInbandFec);
  EXPECT_FALSE(bad.useDtx);
  EXPECT_EQ(bad.ptimeMs, 0);
  EXPECT_EQ(bad.maxPtimeMs, 0);
  ASSERT_EQ(bad.problems.size(), 9u);
  EXPECT_EQ(bad.problems[0], "maxplaybackrate=0: not a rate in 8000 .. 48000");
  EXPECT_EQ(bad.problems[2], "maxaveragebitrate=99999999999999: not a bit rate in 6000 .. 510000");
  EXPECT_EQ(bad.problems[3], "useinbandfec=yes: not 0 or 1");
  EXPECT_EQ(bad.problems[7], "stereo: no value");
  EXPECT_EQ(bad.problems[8], "cbr=??: not 0 or 1");

  // A long value is cut short in the message.
  const OpusFmtp longValue = parseOpusFmtp("maxplaybackrate=" + std::string(5000, '7'));
  ASSERT_EQ(longValue.problems.size(), 1u);
  EXPECT_LT(longValue.problems[0].size(), 100u);
  EXPECT_EQ(longValue.maxPlaybackRate, 48000);
}

TEST(OpusFmtp, TheReceiversParametersShapeOurEncoder) {
  const OpusSettings ours;
  const OpusSettings plain = opusSettingsFor(parseOpusFmtp(""), ours);
  EXPECT_EQ(plain.bitRate, 32000);
  EXPECT_FALSE(plain.inbandFec);  // the receiver did not say it uses FEC data
  EXPECT_FALSE(plain.dtx);
  EXPECT_EQ(plain.frameMs, 20);
  EXPECT_EQ(plain.maxAudioRate, 48000);

  const OpusSettings narrow = opusSettingsFor(
      parseOpusFmtp("maxplaybackrate=16000;maxaveragebitrate=20000;useinbandfec=1;usedtx=1;"
                    "maxptime=10"),
      ours);
  EXPECT_EQ(narrow.bitRate, 20000);
  EXPECT_TRUE(narrow.inbandFec);
  EXPECT_TRUE(narrow.dtx);
  EXPECT_EQ(narrow.frameMs, 10);
  EXPECT_EQ(narrow.maxAudioRate, 16000);
  EXPECT_TRUE(checkOpusSettings(narrow).empty());
  // A receiver allowing more than we send leaves our choice.
  EXPECT_EQ(opusSettingsFor(parseOpusFmtp("maxaveragebitrate=128000;ptime=60"), ours).bitRate,
            32000);
  EXPECT_EQ(opusSettingsFor(parseOpusFmtp("ptime=60"), ours).frameMs, 20);
  // Whatever the line, the settings made from it are usable.
  for (const char* line : {"maxplaybackrate=8000", "maxaveragebitrate=6000;ptime=3", "garbage"}) {
    EXPECT_TRUE(checkOpusSettings(opusSettingsFor(parseOpusFmtp(line), ours)).empty()) << line;
  }
}

}  // namespace
}  // namespace quillet::codecs
