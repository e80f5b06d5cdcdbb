// SPDX-License-Identifier: Apache-2.0
// Paging settings as a user writes them (bad entries left out), the page targets of -page,
// and the rules of which pages play: do-not-disturb, calls, trusted senders, own pages.
#include "app/paging_settings.h"

#include <gtest/gtest.h>

#include "base/settings_store.h"
#include "platform/socket.h"
#include "platform/test_util.h"

namespace quillet::app {
namespace {

class PagingSettingsTest : public ::testing::Test {
 protected:
  platform::testing::TempDir dir_;
  base::SettingsStore store_{dir_.file("settings.ini"), dir_.file("machine.ini")};
};

TEST_F(PagingSettingsTest, ReadsListenGroupsAndLeavesOutBadEntries) {
  store_.writeText("Paging", "Listen1", "239.1.1.1:6000");
  store_.writeText("Paging", "Listen1Label", "Hall");
  store_.writeInt("Paging", "Listen1Priority", 4);
  store_.writeText("Paging", "Listen2", "10.0.0.1:6000");   // not multicast
  store_.writeText("Paging", "Listen4", "239.1.1.4:6004");  // a gap in the numbers is fine
  store_.writeInt("Paging", "Listen4Priority", 11);         // out of range: 1
  store_.writeInt("Paging", "Listen1OpusPayloadType", 96);
  store_.writeInt("Paging", "Listen4OpusPayloadType", 9);  // a static type: the default
  store_.writeText("Paging", "Codec", "OPUS");
  store_.writeText("Paging", "GroupChannels", "1, 24,25,26,x");
  store_.writeText("Paging", "DuringCall", "HOLD");
  store_.writeText("Paging", "TrustedSenders", "192.0.2.7, nobody");
  const PagingSettings paging = readPagingSettings(store_);
  ASSERT_EQ(paging.listens.size(), 3u);
  EXPECT_EQ(paging.listens[0].label, "Hall");
  EXPECT_EQ(paging.listens[0].priority, 4);
  EXPECT_EQ(paging.listens[1].label, "239.1.1.4:6004");
  EXPECT_EQ(paging.listens[1].priority, 1);
  EXPECT_EQ(paging.listens[0].opusPayloadType, 96);
  EXPECT_EQ(paging.listens[1].opusPayloadType, media::kPageOpusPayloadType);
  EXPECT_EQ(pageOpusPayloadType(paging.listens[0].target, paging), 96);
  EXPECT_EQ(pageOpusPayloadType(*media::parseGroupAddress("239.1.1.1:6002"), paging),
            media::kPageOpusPayloadType);
  EXPECT_EQ(pageSendCodec(store_), codecs::CodecId::kOpus);
  store_.writeText("Paging", "Codec", "gsm");  // no page codec: PCMU
  EXPECT_EQ(pageSendCodec(store_), codecs::CodecId::kPcmu);
  const media::PageListen& group = paging.listens[2];
  EXPECT_TRUE(group.target.grouped);
  EXPECT_EQ(group.target.port, 5001);
  EXPECT_EQ(group.channels, (std::vector<uint8_t>{1, 24, 25}));
  EXPECT_EQ(media::PagingReceiver::channelPriority(group, 1), 5);
  EXPECT_EQ(media::PagingReceiver::channelPriority(group, 24), 9);
  EXPECT_EQ(media::PagingReceiver::channelPriority(group, 25), 10);
  EXPECT_EQ(paging.duringCall, DuringCall::Hold);
  EXPECT_EQ(paging.trusted, (std::vector<uint32_t>{platform::ipv4(192, 0, 2, 7)}));

  std::string error;
  EXPECT_EQ(resolvePageTarget("hall", paging, error)->address, platform::ipv4(239, 1, 1, 1));
  EXPECT_TRUE(resolvePageTarget("channel:3", paging, error)->grouped);
  EXPECT_FALSE(resolvePageTarget("Kitchen", paging, error));
  EXPECT_NE(error.find("Kitchen"), std::string::npos);
}

TEST(PagingRules, DoNotDisturbCallsAndTrustedSenders) {
  PagingGate gate;
  gate.trusted = {platform::ipv4(192, 0, 2, 7)};
  auto judge = [&](int32_t priority, uint32_t source) {
    media::PageInfo page;
    page.priority = priority;
    page.level = media::pageLevelOf(priority);
    page.sourceAddress = source;
    page.senderId = 77;
    return judgePage(page, gate);
  };
  const uint32_t trusted = platform::ipv4(192, 0, 2, 7);
  const uint32_t stranger = platform::ipv4(192, 0, 2, 8);
  EXPECT_EQ(judge(3, stranger), PageVerdict::Play);  // trust is asked of urgent pages only
  EXPECT_EQ(judge(9, stranger), PageVerdict::NotTrusted);
  EXPECT_EQ(judge(10, stranger), PageVerdict::NotTrusted);
  EXPECT_EQ(judge(10, trusted), PageVerdict::Play);
  gate.doNotDisturb = true;
  EXPECT_EQ(judge(8, trusted), PageVerdict::DoNotDisturb);
  EXPECT_EQ(judge(9, trusted), PageVerdict::Play);
  EXPECT_EQ(judge(10, trusted), PageVerdict::Play);
  gate.doNotDisturb = false;
  gate.callUp = true;
  gate.duringCall = DuringCall::Ignore;
  EXPECT_EQ(judge(1, trusted), PageVerdict::InCall);
  EXPECT_EQ(judge(9, trusted), PageVerdict::Play);
  gate.duringCall = DuringCall::Mix;
  EXPECT_EQ(judge(1, trusted), PageVerdict::Play);
  gate.sending = true;
  gate.ownSerial = 77;
  EXPECT_EQ(judge(1, trusted), PageVerdict::Own);

  EXPECT_EQ(pageCallAction(media::PageLevel::Normal, DuringCall::Mix), CallAction::Mix);
  EXPECT_EQ(pageCallAction(media::PageLevel::Normal, DuringCall::Hold), CallAction::Hold);
  EXPECT_EQ(pageCallAction(media::PageLevel::Priority, DuringCall::Mix), CallAction::Hold);
  EXPECT_EQ(pageCallAction(media::PageLevel::Emergency, DuringCall::Ignore), CallAction::Hold);
}

}  // namespace
}  // namespace quillet::app
