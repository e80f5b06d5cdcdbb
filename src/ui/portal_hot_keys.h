// SPDX-License-Identifier: Apache-2.0
// Hot keys where the desktop is not X11: the desktop portal's global shortcuts
// (org.freedesktop.portal.GlobalShortcuts), one session with every record bound, its
// Activated and Deactivated signals acting as a key's press and release. Where the desktop
// offers no such portal, or does not take the keys, they are keys of the main window only.
#pragma once

#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "ui/global_hot_keys.h"

namespace quillet::ui {

std::unique_ptr<GlobalHotKeys> makePortalHotKeys(GlobalHotKeys::Handler handler);

class PortalHotKeys : public QObject, public GlobalHotKeys {
  Q_OBJECT
 public:
  explicit PortalHotKeys(Handler handler);
  ~PortalHotKeys() override;

  void registerAll(base::SettingsStore& store) override;
  void unregisterAll() override;
  bool windowKey(const QKeyEvent& key) override;

 private slots:
  void onActivated(const QDBusMessage& message);
  void onDeactivated(const QDBusMessage& message);
  void onResponse(const QDBusMessage& message);

 private:
  enum class Mode { Probing, Portal, WindowKeys };
  struct Shortcut {
    QString name;  // the shortcut's id at the portal
    QString description;
    int32_t id;  // the hot-key identifier
    uint32_t keyCode;
    bool onRelease;
  };
  using ResponseHandler = std::function<void(uint32_t code, const QVariantMap& results)>;

  void probe();
  void useWindowKeys(const char* why);
  void openSession();
  void bindShortcuts(uint32_t token);
  void closeSession();
  // Calls a portal method that answers through a Request object's Response signal.
  void request(const QString& method, QList<QVariant> arguments, QVariantMap options,
               ResponseHandler handler);
  const Shortcut* find(const QDBusMessage& message) const;

  Handler handler_;
  Mode mode_ = Mode::Probing;
  bool wanted_ = false;  // registered, between registerAll and unregisterAll
  std::vector<Shortcut> shortcuts_;
  QString session_;                             // the open session's object path
  uint32_t opening_ = 0;                        // the token of the session being opened, 0 for none
  uint32_t tokens_ = 0;                         // names the requests
  std::map<QString, ResponseHandler> pending_;  // by request object path
  QTimer repeat_;                               // a held shortcut repeats, as a held key does
  int32_t heldId_ = -1;
};

}  // namespace quillet::ui
