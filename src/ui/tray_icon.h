// SPDX-License-Identifier: Apache-2.0
// The system tray icon: the state at a glance (idle, in a call, Do Not Disturb, missed
// calls), a click brings the window back, and a menu with the main commands.
#pragma once

#include <QIcon>
#include <QObject>

class QMenu;
class QSystemTrayIcon;

namespace quillet::ui {

class MainWindow;

// The program's icon drawn for a state: a speech bubble in the state's colour, with the
// number of missed calls when there are any.
QIcon stateIcon(const QString& state, int missedCalls);

class TrayIcon : public QObject {
  Q_OBJECT
 public:
  explicit TrayIcon(MainWindow* window);
  ~TrayIcon() override;
  QSystemTrayIcon* icon() const { return icon_; }
  QMenu* menu() const { return menu_; }
  void refresh();

 private:
  MainWindow* window_;
  QMenu* menu_;
  QSystemTrayIcon* icon_;
};

}  // namespace quillet::ui
