// SPDX-License-Identifier: Apache-2.0
// Light or dark, as the desktop prefers: the freedesktop appearance setting
// (org.freedesktop.appearance color-scheme, read through the desktop portal and followed
// while it changes) picks a dark or the style's own light palette for the window and its
// dialogs. Without a portal the platform's palette stays.
#pragma once

#include <QDBusMessage>
#include <QObject>

namespace quillet::ui {

class DesktopTheme : public QObject {
  Q_OBJECT
 public:
  explicit DesktopTheme(QObject* parent = nullptr);
  // 0: no preference, 1: dark, 2: light (as the portal says); -1 before it answered.
  int scheme() const { return scheme_; }

 private slots:
  void onSettingChanged(const QDBusMessage& message);

 private:
  void apply(int scheme);

  int scheme_ = -1;
};

}  // namespace quillet::ui
