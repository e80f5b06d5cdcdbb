// SPDX-License-Identifier: Apache-2.0
// The window's paging: the page playing shown with its Stop listening button (a picture of
// it with QUILLET_SCREENSHOTS), and the File menu's Page command (Ctrl+P) paging and ending.
// QT_QPA_PLATFORM=offscreen.
#include "ui/page_panel.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>

#include "base/settings_store.h"
#include "ui/ui_test_support.h"

namespace quillet::ui::testing {
namespace {

using namespace std::chrono_literals;

TEST_F(WindowTest, PageShownWithStopAndPageCommandSendsAndEnds) {
  base::SettingsStore& store = base::SettingsStore::global();
  store.writeText("Paging", "SendGroup", "239.255.70.1:6170");
  store.writeText("Paging", "Interface", "127.0.0.1");  // the page stays on loopback
  start();
  PagePanel* panel = window_->pagePanel();
  ASSERT_NE(panel, nullptr);
  EXPECT_TRUE(panel->isHidden());
  window_->showPage("Hall, 192.0.2.7, priority (9)");
  EXPECT_FALSE(panel->isHidden());
  EXPECT_EQ(panel->label()->text(), "Page: Hall, 192.0.2.7, priority (9)");
  EXPECT_EQ(panel->stopButton()->text(), "Stop listening");
  shot(window_, "page-arriving.png");
  window_->showPage("");
  EXPECT_TRUE(panel->isHidden());

  QAction* page = window_->action(app::kCommandPage);
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_P));
  page->trigger();
  EXPECT_TRUE(pumpUntil([&] { return logHas("Paging: sending a page to 239.255.70.1:6170"); }, 2s))
      << logText();
  EXPECT_TRUE(page->isChecked());
  page->trigger();
  EXPECT_TRUE(pumpUntil([&] { return logHas("Paging: the page sent ended"); }, 2s)) << logText();
  EXPECT_FALSE(page->isChecked());
}

}  // namespace
}  // namespace quillet::ui::testing
