// SPDX-License-Identifier: Apache-2.0
// Following the desktop's colour scheme through the desktop portal.
#include "ui/desktop_theme.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>

#include "base/log.h"
#include "ui/qt_text.h"

namespace quillet::ui {

namespace {

const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kSettings = QStringLiteral("org.freedesktop.portal.Settings");
const QString kGroup = QStringLiteral("org.freedesktop.appearance");
const QString kKey = QStringLiteral("color-scheme");

// The portal wraps the value in one or two variants.
int schemeOf(QVariant value) {
  while (value.canConvert<QDBusVariant>() && value.userType() == qMetaTypeId<QDBusVariant>()) {
    value = value.value<QDBusVariant>().variant();
  }
  bool ok = false;
  const uint scheme = value.toUInt(&ok);
  return ok && scheme <= 2 ? static_cast<int>(scheme) : 0;
}

QPalette darkPalette() {
  QPalette p;
  const QColor window(0x2b, 0x2d, 0x33);
  const QColor base(0x1f, 0x21, 0x26);
  const QColor text(0xe6, 0xe6, 0xe6);
  p.setColor(QPalette::Window, window);
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, base);
  p.setColor(QPalette::AlternateBase, window);
  p.setColor(QPalette::ToolTipBase, base);
  p.setColor(QPalette::ToolTipText, text);
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, window);
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::Highlight, QColor(0x3d, 0x7e, 0xd6));
  p.setColor(QPalette::HighlightedText, Qt::white);
  p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
  p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
  p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
  return p;
}

}  // namespace

DesktopTheme::DesktopTheme(QObject* parent) : QObject(parent) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    return;
  }
  if (!bus.connect(kPortal, kPath, kSettings, QStringLiteral("SettingChanged"), this,
                   SLOT(onSettingChanged(QDBusMessage)))) {
    base::logError("Cannot follow the desktop colour scheme: ", toUtf8(bus.lastError().message()));
  }
  QDBusMessage read =
      QDBusMessage::createMethodCall(kPortal, kPath, kSettings, QStringLiteral("Read"));
  read << kGroup << kKey;
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(read, 2000), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
    QDBusPendingReply<QDBusVariant> reply = *w;
    if (reply.isValid()) {
      apply(schemeOf(QVariant::fromValue(reply.value())));
    }
    w->deleteLater();
  });
}

void DesktopTheme::onSettingChanged(const QDBusMessage& message) {
  const QList<QVariant> arguments = message.arguments();
  if (arguments.size() == 3 && arguments[0].toString() == kGroup &&
      arguments[1].toString() == kKey) {
    apply(schemeOf(arguments[2]));
  }
}

void DesktopTheme::apply(int scheme) {
  if (scheme == scheme_) {
    return;
  }
  const bool wasSet = scheme_ >= 0;
  scheme_ = scheme;
  base::logInfo("Desktop colour scheme: ",
                scheme == 1 ? "dark" : (scheme == 2 ? "light" : "default"));
  if (scheme == 1) {
    // Fusion draws every control from the palette, so the dark one shows everywhere.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setPalette(darkPalette());
  } else if (wasSet || scheme == 2) {
    QApplication::setPalette(QApplication::style()->standardPalette());
  }
}

}  // namespace quillet::ui
