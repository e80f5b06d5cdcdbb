// SPDX-License-Identifier: Apache-2.0
// The window's calls panel: a call waiting is listed with Answer and Refuse and named in the
// banner; two calls, one held, with Switch; one call or none hides the panel.
// QT_QPA_PLATFORM=offscreen.
#include "ui/calls_panel.h"

#include <QLabel>
#include <QPushButton>

#include "ui/ui_test_support.h"

namespace quillet::ui::testing {
namespace {

TEST_F(WindowTest, CallsPanelListsAWaitingCallThenTheHeldOne) {
  start();
  CallsPanel* panel = window_->callsPanel();
  ASSERT_NE(panel, nullptr);
  auto* banner = window_->findChild<QLabel*>("banner");
  auto* refuse = window_->findChild<QPushButton*>("refuse");
  ASSERT_NE(banner, nullptr);
  ASSERT_NE(refuse, nullptr);
  EXPECT_TRUE(panel->isHidden());

  using enum app::CallShown;
  window_->showCalls({{"bob@192.0.2.7", Active}, {"carol@192.0.2.8", Waiting}});
  EXPECT_FALSE(panel->isHidden());
  EXPECT_EQ(panel->label()->text(), "bob@192.0.2.7 - Active\ncarol@192.0.2.8 - Waiting");
  EXPECT_FALSE(panel->answerButton()->isHidden());
  EXPECT_TRUE(panel->switchButton()->isHidden());
  EXPECT_FALSE(refuse->isHidden());
  EXPECT_EQ(banner->text(), "Call waiting: carol@192.0.2.8");

  window_->showCalls({{"bob@192.0.2.7", Held}, {"carol@192.0.2.8", Active}});
  EXPECT_EQ(panel->label()->text(), "bob@192.0.2.7 - On hold\ncarol@192.0.2.8 - Active");
  EXPECT_TRUE(panel->answerButton()->isHidden());
  EXPECT_FALSE(panel->switchButton()->isHidden());
  EXPECT_TRUE(panel->switchButton()->isEnabled());
  EXPECT_TRUE(refuse->isHidden());
  EXPECT_EQ(banner->text(), "On hold: bob@192.0.2.7 (Switch takes it back)");

  window_->showCalls({{"carol@192.0.2.8", Active}});
  EXPECT_FALSE(panel->switchButton()->isEnabled());  // nothing held to switch to
  window_->showCalls({});
  EXPECT_TRUE(panel->isHidden());
}

}  // namespace
}  // namespace quillet::ui::testing
