// SPDX-License-Identifier: Apache-2.0
// Desktop notifications over D-Bus (org.freedesktop.Notifications): a ringing call the
// user has to answer, with Answer and Refuse actions, and a missed call. Without a session
// bus or notification daemon nothing is shown.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>

namespace quillet::ui {

class MainWindow;

class DesktopNotices : public QObject {
  Q_OBJECT
 public:
  explicit DesktopNotices(MainWindow* window);

  // `encryption`: the call's media encryption, named in the notice with a padlock (empty:
  // plain).
  void incomingCall(const QString& caller, const QString& encryption = {});
  void missedCall(const QString& caller);
  // The ringing call was answered or ended: its notification goes.
  void withdrawIncoming();

 private slots:
  void onAction(uint id, const QString& key);

 private:
  void notify(const QString& summary, const QString& body, const QString& category,
              bool withActions, uint32_t* idOut);

  MainWindow* window_;
  uint32_t incomingId_ = 0;
  uint32_t missedId_ = 0;
};

}  // namespace quillet::ui
