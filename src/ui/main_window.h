// SPDX-License-Identifier: Apache-2.0
// The main window: contact list, push-to-talk Intercom button, Do Not Disturb, level
// meters and volume controls, the log view, the status panel (with the line's transport)
// and its line problems, the banner, the menus with
// their command identifiers, the keyboard filter and the exit question. It implements the
// application's AppWindow and hands every call decision to IntercomApp.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <map>
#include <memory>

#include "app/app_window.h"
#include "platform/paths.h"
#include "platform/prompts.h"

class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QSlider;
class QToolBar;

namespace quillet::app {
class IntercomApp;
}

namespace quillet::ui {

class Dialogs;
class GlobalHotKeys;
class LogViewWidget;
class DesktopNotices;
class TransportLabel;
class CallHistoryWidget;
class TrayIcon;
class CallsPanel;
class PagePanel;

// Command identifiers handled by the window itself.
enum WindowCommand : int32_t {
  kCommandHelpContents = 9,
  kCommandHide = 802,
  kCommandNetworkWizard = 1013,
  kCommandHelpIndex = 1100,
  kCommandOpenLogs = 2002,
  kCommandShowStatus = 2004,
  kCommandShowToolBar = 2005,
  kCommandContactSelection = 3410,
  kCommandContactMenu = 3420,
  kCommandHelpStart = 6000,
  kCommandHelpCalls = 6028,
  kCommandHelpNetwork = 6098,
  kCommandHelpContacts = 6099,
  kCommandMainMenu = 7000,
  kCommandAbout = 9090,
  kMessageSelectRow = 32972,
};

class MainWindow : public QMainWindow, public app::AppWindow {
  Q_OBJECT
 public:
  MainWindow(platform::ProfilePaths paths, platform::Prompts& prompts,
             std::unique_ptr<Dialogs> dialogs);
  ~MainWindow() override;

  // The application the commands go to (set once it exists; null detaches).
  void attach(app::IntercomApp* app);
  app::IntercomApp* app() const { return app_; }

  // A command by its identifier (menus, buttons, keys, tray, hot keys).
  void runCommand(int32_t id);
  // A private message with its parameter (32972: the row to select).
  void postMessage(int32_t id, int32_t parameter = 0);
  // Enables and checks menu items from the current state.
  void updateUserInterface();

  // The menu item of a command (tests and the tray); null when there is none.
  QAction* action(int32_t id) const;
  QMenu* mainMenu() const { return mainMenu_; }
  QMenu* contactMenu() const { return contactMenu_; }
  LogViewWidget* logView() const { return logView_; }
  CallHistoryWidget* callHistory() const { return history_; }
  // The command that opens a folder or page ("xdg-open").
  static QString openerProgram();
  // What the tray shows: "Quillet: " with the state and the missed calls.
  QString statusText() const;
  // "idle", "ringing", "in a call" or "Do Not Disturb".
  QString state() const;
  int32_t missedCalls() const { return missedCalls_; }
  TrayIcon* tray() const { return tray_; }

  // app::AppWindow
  void show() override;
  void hide() override;
  bool visible() const override;
  void setContactRows(const std::vector<std::string>& rows) override;
  void setContactLamps(const std::vector<app::ContactLamp>& lamps) override;
  // What a lamp's tooltip says.
  static QString lampText(app::ContactLamp lamp);
  int32_t selectedRow() const override;
  void selectRow(int32_t row) override;
  void enableContactList(bool enabled) override;
  void showContactHint(const std::string& text) override;
  void setIntercomButton(app::IntercomButtonState state, const std::string& text) override;
  void setDoNotDisturbButton(bool pressed) override;
  void setHoldButton(bool enabled, bool held) override;
  void showPage(const std::string& text) override;
  void showCalls(const std::vector<app::CallEntry>& calls) override;
  void checkMenuItem(int32_t command, bool checked) override;
  void setLineStatus(const std::string& displayName, const std::string& userName,
                     const std::string& address) override;
  void setLineTransport(sip::TransportKind kind) override;
  void showLineProblem(const std::string& text) override;
  void showVoicemail(bool waiting, int32_t newMessages) override;
  void noteLineRegistered() override;
  void setBanner(const std::string& text) override;
  void setLevels(int8_t microphone, int8_t speaker) override;
  void setVolumes(int32_t play, int32_t record) override;
  void setCallQuality(const sip::CallFigures* figures) override;
  void openHelp() override { runCommand(kCommandHelpContents); }
  bool openOptions(int32_t page) override;
  bool addContact() override;
  bool editContact(int32_t position) override;
  void showAddressBook() override;
  void closeAddressBook() override;
  void registerHotKeys() override;
  void unregisterHotKeys() override;
  void noteIncomingCall(const std::string& caller) override;
  void noteMissedCall(const std::string& caller) override;
  void noteRingingOver() override;
  void setCallEncryption(const std::string& encryption) override;
  void setCallHistory(const std::vector<app::CallRecord>& calls) override;
  int32_t selectedHistoryRow() const override;
  // The padlock beside the banner, shown while the ringing or current call is encrypted.
  QLabel* callLock() const { return callLock_; }
  PagePanel* pagePanel() const { return pagePanel_; }
  CallsPanel* callsPanel() const { return callsPanel_; }

 signals:
  void statusChanged();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void buildControls();
  void buildMenus();
  QWidget* makeVoicemailIndicator(QWidget* parent);
  QAction* addCommand(QMenu* menu, const QString& text, int32_t id, bool checkable = false);
  bool filterKey(QKeyEvent* key, bool press);
  void openPath(const QString& path);
  void openHelp(int32_t id);
  void showAbout();
  void networkWizard();
  void layOut();
  void applyTheme();
  bool callActive() const;

  platform::ProfilePaths paths_;
  platform::Prompts& prompts_;
  std::unique_ptr<Dialogs> dialogs_;
  std::unique_ptr<GlobalHotKeys> hotKeys_;
  DesktopNotices* notices_ = nullptr;  // owned as a child
  app::IntercomApp* app_ = nullptr;
  TrayIcon* tray_ = nullptr;

  QComboBox* contacts_ = nullptr;
  QPushButton* intercom_ = nullptr;
  QPushButton* doNotDisturb_ = nullptr;
  QPushButton* hold_ = nullptr;
  PagePanel* pagePanel_ = nullptr;
  CallsPanel* callsPanel_ = nullptr;
  QProgressBar* speakerMeter_ = nullptr;
  QProgressBar* microphoneMeter_ = nullptr;
  QSlider* playVolume_ = nullptr;
  QSlider* recordVolume_ = nullptr;
  LogViewWidget* logView_ = nullptr;
  CallHistoryWidget* history_ = nullptr;  // a tab beside the log
  QLabel* banner_ = nullptr;
  QLabel* callLock_ = nullptr;
  QString callEncryption_;  // empty: plain, or no call
  QLabel* displayName_ = nullptr;
  QLabel* address_ = nullptr;
  QLabel* userName_ = nullptr;
  TransportLabel* transport_ = nullptr;
  QLabel* callQuality_ = nullptr;     // the running call's figures, hidden without a call
  QLabel* lineProblem_ = nullptr;     // shown, whatever the status panel, until the line registers
  QPushButton* voicemail_ = nullptr;  // shown while messages wait; calls the voicemail
  bool voicemailWaiting_ = false;
  int32_t voicemailNew_ = -1;
  QWidget* statusPanel_ = nullptr;
  QToolBar* toolBar_ = nullptr;
  QMenu* mainMenu_ = nullptr;  // File and Help, as the pop-up of 7000
  QMenu* contactMenu_ = nullptr;
  std::map<int32_t, std::vector<QAction*>> actions_;
  app::IntercomButtonState buttonState_ = app::IntercomButtonState::Disabled;
  int32_t missedCalls_ = 0;
  QString ringingCaller_;  // a call ringing here for the user to answer
  QString waitingCaller_;  // a call waiting while another is up
  QPushButton* refuse_ = nullptr;
  bool f5Down_ = false;
};

}  // namespace quillet::ui
