// SPDX-License-Identifier: Apache-2.0
// Notifications through the desktop's notification service.
#include "ui/desktop_notices.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include "app/app_window.h"
#include "ui/main_window.h"

namespace quillet::ui {

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
}  // namespace

DesktopNotices::DesktopNotices(MainWindow* window) : QObject(window), window_(window) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (bus.isConnected()) {
    bus.connect(kService, kPath, kService, QStringLiteral("ActionInvoked"), this,
                SLOT(onAction(uint, QString)));
  }
}

void DesktopNotices::notify(const QString& summary, const QString& body, const QString& category,
                            bool withActions, uint32_t* idOut) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    return;
  }
  QDBusMessage call =
      QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
  QStringList actions;
  if (withActions) {
    actions << QStringLiteral("answer") << tr("Answer") << QStringLiteral("refuse") << tr("Refuse");
  }
  QVariantMap hints;
  hints[QStringLiteral("category")] = category;
  hints[QStringLiteral("desktop-entry")] = QStringLiteral("quillet");
  hints[QStringLiteral("urgency")] = QVariant::fromValue<uchar>(withActions ? 2 : 1);
  call << QStringLiteral("Quillet") << static_cast<uint>(*idOut) << QStringLiteral("quillet")
       << summary << body << actions << hints << static_cast<int>(withActions ? 0 : -1);
  // Asynchronous: a slow or missing daemon never holds up the window.
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [idOut](QDBusPendingCallWatcher* w) {
    QDBusPendingReply<uint> reply = *w;
    if (reply.isValid()) {
      *idOut = reply.value();
    }
    w->deleteLater();
  });
}

void DesktopNotices::incomingCall(const QString& caller, const QString& encryption) {
  const QString body = encryption.isEmpty() ? caller
                                            : caller + QStringLiteral("\n\U0001F512 ") +
                                                  tr("Encrypted call (%1)").arg(encryption);
  notify(tr("Incoming call"), body, QStringLiteral("call.incoming"), true, &incomingId_);
}

void DesktopNotices::missedCall(const QString& caller) {
  withdrawIncoming();
  notify(tr("Missed call"), caller, QStringLiteral("call.unanswered"), false, &missedId_);
}

void DesktopNotices::withdrawIncoming() {
  if (incomingId_ == 0) {
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService,
                                                     QStringLiteral("CloseNotification"));
  call << static_cast<uint>(incomingId_);
  QDBusConnection::sessionBus().asyncCall(call);
  incomingId_ = 0;
}

void DesktopNotices::onAction(uint id, const QString& key) {
  if (id == 0 || id != incomingId_) {
    return;
  }
  incomingId_ = 0;
  window_->show();
  window_->runCommand(key == QStringLiteral("answer") ? app::kCommandIntercomDown
                                                      : app::kCommandRefuse);
}

}  // namespace quillet::ui
