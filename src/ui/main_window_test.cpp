// SPDX-License-Identifier: Apache-2.0
// Tests of the main window over the real application: its controls, the command table,
// message boxes with their exact texts, the keyboard filter, hot keys as keys of the window
// and the log view's scrolling. QT_QPA_PLATFORM=offscreen.
#include <QAbstractItemView>
#include <QAction>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QToolBar>

#include "app/hot_keys.h"
#include "base/log.h"
#include "base/settings_store.h"
#include "ui/log_view_widget.h"
#include "ui/transport_label.h"
#include "ui/ui_test_support.h"

namespace quillet::ui::testing {
namespace {

using namespace std::chrono_literals;

base::SettingsStore& settings() {
  return base::SettingsStore::global();
}

template <typename T>
T* control(MainWindow* window, int id) {
  return window->findChild<T*>(QStringLiteral("control%1").arg(id));
}

QStringList rowsOf(QComboBox* list) {
  QStringList rows;
  for (int i = 0; i < list->count(); ++i) {
    rows << list->itemText(i);
  }
  return rows;
}

TEST_F(WindowTest, ContactLampsShowEachLineStateWithATooltip) {
  addContact("Bob", "sip:bob@127.0.0.1:2");
  addContact("alice", "sip:alice@127.0.0.1:3");
  addContact("zed", "sip:zed@127.0.0.1:1");
  start();
  auto* list = control<QComboBox>(window_, 130);
  // Until a contact's line has told its state, the lamp says so.
  EXPECT_EQ(list->itemData(2, Qt::ToolTipRole).toString(), "State not known");
  window_->setContactLamps({app::ContactLamp::Busy, app::ContactLamp::Free});
  EXPECT_EQ(list->itemData(0, Qt::ToolTipRole).toString(), "In a call");
  EXPECT_EQ(list->itemData(1, Qt::ToolTipRole).toString(), "Free");
  EXPECT_EQ(list->itemData(2, Qt::ToolTipRole).toString(), "State not known");
  const QImage busy = list->itemIcon(0).pixmap(16, 16).toImage();
  EXPECT_EQ(busy.pixelColor(8, 8), QColor(0xd0, 0x30, 0x30));
  EXPECT_EQ(list->itemIcon(1).pixmap(16, 16).toImage().pixelColor(8, 8), QColor(0x2e, 0xa0, 0x43));
  window_->setContactLamps(
      {app::ContactLamp::Busy, app::ContactLamp::Free, app::ContactLamp::DoNotDisturb});
  EXPECT_EQ(list->itemData(2, Qt::ToolTipRole).toString(), "Do not disturb");
  list->showPopup();
  shot(list->view()->window(), "contact_lamps.png");
  list->hidePopup();
}

TEST_F(WindowTest, ControlsShowTheContactsAndSettings) {
  settings().writeInt("Settings", "PlayVolume", 40);
  settings().writeInt("Settings", "RecordVolume", -300);  // out of range: clamped
  addContact("zed", "sip:zed@127.0.0.1:1");
  addContact("Bob", "sip:bob@127.0.0.1:2");
  addContact("alice", "sip:alice@127.0.0.1:3");
  start();
  auto* list = control<QComboBox>(window_, 130);
  EXPECT_EQ(rowsOf(list), QStringList({"alice <sip:alice@127.0.0.1:3>", "Bob <sip:bob@127.0.0.1:2>",
                                       "zed <sip:zed@127.0.0.1:1>"}));
  EXPECT_EQ(control<QSlider>(window_, 142)->value(), 40);
  EXPECT_EQ(control<QSlider>(window_, 143)->value(), -127);
  EXPECT_EQ(window_->findChild<QLabel*>("statusName")->text(), "Alice");
  EXPECT_EQ(window_->findChild<QLabel*>("statusUser")->text(), "SIP: alice");
  // The address the line advertises (SIP/LocalAddress here).
  EXPECT_EQ(window_->findChild<QLabel*>("statusAddress")->text(), "IP: 127.0.0.1");
  // A line with no transport chosen and a plain server registers over UDP: no lock.
  auto* transport = window_->findChild<TransportLabel*>("statusTransport");
  ASSERT_NE(transport, nullptr);
  EXPECT_EQ(transport->nameLabel()->text(), "UDP");
  EXPECT_TRUE(transport->lockLabel()->isHidden());
  // The open contact list has room for at least 120 pixels of rows, even with three.
  list->showPopup();
  EXPECT_GE(list->view()->height(), 120);
  list->hidePopup();
  // The banner shows the first of its texts a second after the start.
  auto* banner = window_->findChild<QLabel*>("banner");
  EXPECT_TRUE(banner->text().isEmpty());
  EXPECT_TRUE(pumpUntil([&] { return !banner->text().isEmpty(); }, 2s));
  // The window fills the screen and keeps that when brought back from the background.
  EXPECT_TRUE(window_->isMaximized());
  window_->runCommand(802);
  window_->runCommand(3001);
  EXPECT_TRUE(window_->isVisible());
  EXPECT_TRUE(window_->isMaximized());
}

TEST_F(WindowTest, StatusPanelShowsTheCallFigures) {
  start();
  auto* quality = window_->findChild<QLabel*>("statusCallQuality");
  ASSERT_NE(quality, nullptr);
  EXPECT_TRUE(quality->isHidden()) << "no call, no figures";
  sip::CallFigures figures;
  figures.codec = "PCMA/8000";
  figures.quality.packetsSent = 512;
  figures.quality.packetsReceived = 95;
  figures.quality.packetsExpected = 100;
  figures.quality.packetsLost = 5;
  figures.quality.jitterMs = 3;
  window_->setCallQuality(&figures);
  EXPECT_FALSE(quality->isHidden());
  EXPECT_EQ(quality->text(),
            "PCMA/8000: sent 512, received 95, lost 5 (5.0 %), jitter 3 ms, round trip -");
  // The next second's figures replace them, with the far end's first report.
  figures.quality.packetsSent = 562;
  figures.quality.packetsReceived = 145;
  figures.quality.packetsExpected = 150;
  figures.quality.roundTripMs = 41;
  window_->setCallQuality(&figures);
  EXPECT_EQ(quality->text(),
            "PCMA/8000: sent 562, received 145, lost 5 (3.3 %), jitter 3 ms, round trip 41 ms");
  window_->setCallQuality(nullptr);
  EXPECT_TRUE(quality->isHidden());
}

TEST_F(WindowTest, CommandTableDoesWhatItSays) {
  addContact("Bob", "sip:bob@127.0.0.1:2");
  start();
  // 802 hides, the posted 1128 brings the window back.
  window_->runCommand(802);
  EXPECT_FALSE(window_->isVisible());
  window_->postMessage(1128);
  ASSERT_TRUE(pumpUntil([&] { return window_->isVisible(); }, 2s));

  // 2002 opens the logs folder, the help identifiers the help page.
  window_->runCommand(2002);
  EXPECT_EQ(opened(1).at(0), paths_.logsDir());
  for (int id : {9, 6000, 6028, 6098, 6099, 1100}) {
    window_->runCommand(id);
  }
  const std::vector<std::string> help = opened(7);
  ASSERT_EQ(help.size(), 7u);
  for (size_t i = 1; i < help.size(); ++i) {
    EXPECT_TRUE(help[i].ends_with("README.md") || help[i].starts_with("https://")) << help[i];
  }

  // 2004 and 2005 switch the status panel and the tool bar, kept in the settings.
  const bool status = settings().readBool("Settings", "ShowStatus", false);
  window_->runCommand(2004);
  EXPECT_EQ(settings().readBool("Settings", "ShowStatus", false), !status);
  EXPECT_EQ(window_->findChild<QWidget*>("statusPanel")->isVisible(), !status);
  // The tool bar shows unless switched off.
  EXPECT_TRUE(window_->findChild<QToolBar*>("toolBar")->isVisible());
  window_->runCommand(2005);
  EXPECT_FALSE(settings().readBool("Settings", "ShowToolBar", true));
  EXPECT_FALSE(window_->findChild<QToolBar*>("toolBar")->isVisible());

  // 1025..1028 step the volumes; the controls show and the settings keep them.
  for (int id : {1025, 1025, 1026, 1028, 1028, 1027}) window_->runCommand(id);
  EXPECT_EQ(settings().readInt("Settings", "PlayVolume", 0), 1);
  EXPECT_EQ(settings().readInt("Settings", "RecordVolume", 0), -1);
  EXPECT_EQ(control<QSlider>(window_, 142)->value(), 1);
  EXPECT_EQ(control<QSlider>(window_, 143)->value(), -1);
  control<QSlider>(window_, 143)->setValue(127);  // the control itself
  EXPECT_EQ(settings().readInt("Settings", "RecordVolume", 0), 127);
  window_->runCommand(1027);
  EXPECT_EQ(settings().readInt("Settings", "RecordVolume", 0), 127);  // the top holds

  // 1008 switches Do Not Disturb, and its button and menu item show it (the button's own
  // key: KeyboardFilter).
  window_->runCommand(1008);
  EXPECT_TRUE(settings().readBool("Settings", "DoNotDisturb", false));
  EXPECT_TRUE(control<QPushButton>(window_, 119)->isChecked());
  EXPECT_TRUE(window_->action(1008)->isChecked());
  EXPECT_TRUE(logHas("DO NOT DISTURB turned on. You will not receive incoming calls."));
  window_->runCommand(1008);

  // Options (1010 on the page used last, the private messages on theirs), the wizard.
  settings().writeInt("Settings", "SetDlgLastOpenedPage", 4);
  window_->runCommand(1010);
  window_->postMessage(app::kMessageOptions);
  window_->postMessage(app::kMessageOptionsLines);
  ASSERT_TRUE(pumpUntil([&] { return dialogs_.optionsPages.size() == 3; }, 2s));
  EXPECT_EQ(dialogs_.optionsPages, (std::vector<int32_t>{4, 0, 2}));
  window_->runCommand(1013);
  EXPECT_EQ(dialogs_.wizard, 1);
  settings().writeBool("SIP", "STATIC", true);
  answerBoxes(QMessageBox::Ok);
  window_->runCommand(1013);
  EXPECT_TRUE(sawBox("Error",
                     "This wizard does not work if you have manually setup a STATIC IP or port "
                     "mapping. Turn Static IP mapping off and run this again."));
  EXPECT_EQ(dialogs_.wizard, 1);
  EXPECT_EQ(dialogs_.optionsPages.back(), app::kOptionsPageStaticIp);

  // Contacts: add (refills the list, sorted), select by message, edit, delete.
  dialogs_.nextName = "aaron";
  dialogs_.nextNumber = "sip:aaron@127.0.0.1:9";
  window_->runCommand(8001);
  auto* list = control<QComboBox>(window_, 130);
  EXPECT_EQ(rowsOf(list),
            QStringList({"aaron <sip:aaron@127.0.0.1:9>", "Bob <sip:bob@127.0.0.1:2>"}));
  // The contact added is the one selected, ready for Intercom.
  EXPECT_EQ(list->currentIndex(), 0);
  EXPECT_TRUE(window_->action(8002)->isEnabled());
  window_->postMessage(32972, 1);
  ASSERT_TRUE(pumpUntil([&] { return list->currentIndex() == 1; }, 2s));
  EXPECT_TRUE(window_->action(8002)->isEnabled());
  // Options and a refill (as after an edit) keep the selected contact selected.
  window_->runCommand(8002);
  EXPECT_EQ(list->currentText(), "Bob <sip:bob@127.0.0.1:2>");
  window_->runCommand(1010);
  window_->postMessage(app::kMessageRefillContacts);
  pumpFor(50ms);
  EXPECT_EQ(list->currentText(), "Bob <sip:bob@127.0.0.1:2>");
  EXPECT_TRUE(window_->action(8003)->isEnabled());
  window_->runCommand(3401);
  EXPECT_EQ(dialogs_.contactPositions.size(), 3u);
  EXPECT_EQ(dialogs_.contactPositions[0], -1);
  EXPECT_GE(dialogs_.contactPositions[1], 0);
  answerBoxes(QMessageBox::Cancel);
  window_->runCommand(8003);
  EXPECT_TRUE(sawBox("Confirm Delete", "Are you sure you want to delete the selected contact?"));
  EXPECT_EQ(list->count(), 2);
  window_->postMessage(32972, 1);
  pumpFor(50ms);
  answerBoxes(QMessageBox::Ok);
  window_->runCommand(8003);
  EXPECT_EQ(rowsOf(list), QStringList({"aaron <sip:aaron@127.0.0.1:9>"}));
  addContact("Carol", "sip:carol@127.0.0.1:3");
  window_->postMessage(32971);
  ASSERT_TRUE(pumpUntil([&] { return list->count() == 2; }, 2s));
  stopAnswering();

  // 3420 pops up the contact menu (the main menu: KeyboardFilter); 801 ends the program.
  window_->runCommand(3420);
  EXPECT_TRUE(pumpUntil([&] { return window_->contactMenu()->isVisible(); }, 2s));
  window_->contactMenu()->hide();
  window_->runCommand(801);
  ASSERT_TRUE(pumpUntil([&] { return loop_->closing(); }, 2s));
}

TEST_F(WindowTest, FirstRunWelcomeAndLineQuestions) {
  settings().deleteValue("Settings", "NewInstall");
  settings().deleteValue("Settings", "InstallWizRun");
  settings().writeText("DefaultLine", "UserName", "");
  dialogs_.nextName = "Door";
  dialogs_.nextNumber = "sip:door@127.0.0.1:7";
  answerBoxes(QMessageBox::Yes);
  start();
  EXPECT_TRUE(
      sawBox("Welcome", "Welcome to Quillet.\r\n\r\nWould you like to read the tutorial now?"));
  // Yes opens the help (command 9).
  EXPECT_EQ(opened(1).size(), 1u);
  // No line set up: the check says so and opens Options on the Lines page.
  ASSERT_TRUE(pumpUntil([&] { return !dialogs_.optionsPages.empty(); }, 3s));
  EXPECT_EQ(dialogs_.optionsPages.front(), app::kOptionsPageLines);
  closeInformBoxes();
  EXPECT_TRUE(
      sawBox("Line not Setup", "You must specify details the line. Please enter the details"));
  EXPECT_FALSE(settings().readBool("Settings", "NewInstall", true));
  EXPECT_TRUE(settings().readBool("Settings", "InstallWizRun", false));  // asked once only
  // With no contacts the add-contact dialog follows; the contact added is listed, selected.
  auto* list = control<QComboBox>(window_, 130);
  ASSERT_TRUE(pumpUntil([&] { return list->count() == 1; }, 3s));
  EXPECT_EQ(list->currentText(), "Door <sip:door@127.0.0.1:7>");
  EXPECT_EQ(dialogs_.contactPositions, std::vector<int32_t>{-1});
}

TEST_F(WindowTest, ClosingAsksWhetherToStayInTheBackground) {
  start();
  answerBoxes(QMessageBox::Yes);
  window_->close();
  EXPECT_TRUE(sawBox("Confirm Exit",
                     "Do you want Quillet to continue to receive intercoms in the background?"));
  EXPECT_FALSE(window_->isVisible());
  EXPECT_FALSE(loop_->closing());
  window_->runCommand(3001);
  answerBoxes(QMessageBox::No);
  window_->close();
  ASSERT_TRUE(pumpUntil([&] { return loop_->closing(); }, 2s));
}

TEST_F(WindowTest, KeyboardFilter) {
  start();
  QWidget* focus = control<QComboBox>(window_, 130);
  focus->setFocus();
  QTest::keyClick(focus, Qt::Key_2);  // Do Not Disturb
  ASSERT_TRUE(
      pumpUntil([&] { return settings().readBool("Settings", "DoNotDisturb", false); }, 2s));
  QTest::keyClick(focus, Qt::Key_U, Qt::ControlModifier);  // the button's key
  EXPECT_FALSE(settings().readBool("Settings", "DoNotDisturb", true));
  QTest::keyClick(focus, Qt::Key_3);  // Options
  ASSERT_TRUE(pumpUntil([&] { return dialogs_.optionsPages.size() == 1; }, 2s));
  QTest::keyClick(focus, Qt::Key_4);  // Network Wizard
  ASSERT_TRUE(pumpUntil([&] { return dialogs_.wizard == 1; }, 2s));
  QTest::keyClick(focus, Qt::Key_1);  // Intercom with an empty list: add a contact first
  ASSERT_TRUE(pumpUntil([&] { return dialogs_.contactPositions.size() == 1; }, 2s));
  EXPECT_EQ(dialogs_.contactPositions[0], -1);
  QTest::keyClick(focus, Qt::Key_Return);  // the main menu
  ASSERT_TRUE(pumpUntil([&] { return window_->mainMenu()->isVisible(); }, 2s));
  window_->mainMenu()->hide();
  QTest::keyClick(focus, Qt::Key_9);  // not a shortcut: the focused control has it
  EXPECT_EQ(dialogs_.optionsPages.size(), 1u);

  answerBoxes(QMessageBox::No);
  QTest::keyClick(focus, Qt::Key_6);
  EXPECT_TRUE(sawBox("Exit", "Are you sure to exit Quillet ?"));
  pumpFor(50ms);
  EXPECT_FALSE(loop_->closing());
  answerBoxes(QMessageBox::Yes);
  QTest::keyClick(focus, Qt::Key_6);
  ASSERT_TRUE(pumpUntil([&] { return loop_->closing(); }, 2s));
}

TEST_F(WindowTest, WithoutGlobalShortcutsTheHotKeysAreKeysOfTheWindow) {
  // No X11 display and no desktop portal (the test has no session bus): the records act
  // while the window has the focus, F10 on its release.
  base::RegistryList records(settings(), "Hotkey/Details");
  const int32_t hide = records.add();
  records.writeInt(hide, "Key", 2 << 16 | 0x77);  // Ctrl+F8
  records.writeInt(hide, "Command", app::kHotKeyHide);
  const int32_t show = records.add();
  records.writeInt(show, "Key", 0x78);  // F9
  records.writeInt(show, "Command", app::kHotKeyShow);
  const int32_t book = records.add();
  records.writeInt(book, "Key", 'B' | 1 << 16);  // Alt+B
  records.writeInt(book, "Command", app::kHotKeyShowAddressBook);
  start();
  QWidget* focus = control<QComboBox>(window_, 130);
  QTest::keyClick(focus, Qt::Key_F8, Qt::ControlModifier);
  EXPECT_FALSE(window_->isVisible());
  QTest::keyClick(focus, Qt::Key_F9);
  EXPECT_TRUE(window_->isVisible());
  QTest::keyClick(focus, Qt::Key_F8);  // without Ctrl it is no hot key
  EXPECT_TRUE(window_->isVisible());
  QTest::keyClick(focus, Qt::Key_B, Qt::AltModifier);
  EXPECT_EQ(dialogs_.addressBook, 1);
  // F10 stands in for a door station's button only where the settings ask for it...
  QTest::keyClick(focus, Qt::Key_F10);
  EXPECT_EQ(dialogs_.addressBook, 1);
  settings().writeInt("Settings", "ButtonNumber", 0);
  window_->runCommand(1010);  // Options registers the hot keys again when it closes
  // ...and is then hot key 2 as well, acting when it is let go.
  QTest::keyPress(focus, Qt::Key_F10);
  EXPECT_EQ(dialogs_.addressBook, 1);
  QTest::keyRelease(focus, Qt::Key_F10);
  EXPECT_EQ(dialogs_.addressBook, 2);
  const std::string log = logText();
  const std::string note = "Hot keys work only while the window has the focus";
  ASSERT_NE(log.find(note), std::string::npos) << log;
  EXPECT_EQ(log.find(note), log.rfind(note)) << "logged once";
}

TEST_F(WindowTest, LogViewKeepsScrolledLinesInView) {
  start();
  LogViewWidget* view = window_->logView();
  view->resize(400, 120);
  for (int i = 0; i < 30; ++i) {
    base::logInfo("line " + std::to_string(i));
  }
  base::logError("an error line");
  pumpFor(30ms);
  view->grab();
  EXPECT_EQ(view->shownMessages().last(), "an error line");
  EXPECT_EQ(view->scrollPosition(), 0);

  view->setScrollPosition(-10);
  view->grab();
  const QStringList before = view->shownMessages();
  ASSERT_FALSE(before.isEmpty());
  EXPECT_EQ(before.last(), "line 20");
  base::logInfo("one more");
  pumpFor(30ms);
  view->grab();
  EXPECT_EQ(view->shownMessages(), before);

  // A right click (tap and hold) on the log opens the main menu.
  QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(10, 10),
                          view->mapToGlobal(QPoint(10, 10)));
  QApplication::sendEvent(view, &click);
  EXPECT_TRUE(pumpUntil([&] { return window_->mainMenu()->isVisible(); }, 2s));
  window_->mainMenu()->hide();
}

}  // namespace
}  // namespace quillet::ui::testing
