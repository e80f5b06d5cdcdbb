// SPDX-License-Identifier: Apache-2.0
// The desktop portal's global shortcuts for the hot-key records, with the main window's
// keys as the fallback.
#include "ui/portal_hot_keys.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

#include "app/hot_keys.h"
#include "base/log.h"
#include "ui/qt_text.h"

// One shortcut as the portal takes and answers it: its id and its properties.
struct PortalShortcut {
  QString id;
  QVariantMap properties;
};
Q_DECLARE_METATYPE(PortalShortcut)

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut) {
  argument.beginStructure();
  argument << shortcut.id << shortcut.properties;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut) {
  argument.beginStructure();
  argument >> shortcut.id >> shortcut.properties;
  argument.endStructure();
  return argument;
}

namespace quillet::ui {

namespace {

const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");

// A held shortcut repeats like a held key, well inside the hot-key guard's 500 ms.
constexpr int kRepeatMs = 100;
constexpr int kCallTimeoutMs = 5000;

QString shortcutDescription(const app::HotKeyRecord& record) {
  const std::string name = app::hotKeyCommandName(record.command, record.commandTo);
  return name.empty() ? QStringLiteral("Quillet hot key") : toQString(name);
}

// "session_handle" arrives as a text or as an object path, depending on the desktop.
QString pathOf(const QVariant& value) {
  return value.userType() == qMetaTypeId<QDBusObjectPath>() ? value.value<QDBusObjectPath>().path()
                                                            : value.toString();
}

}  // namespace

std::unique_ptr<GlobalHotKeys> makePortalHotKeys(GlobalHotKeys::Handler handler) {
  return std::make_unique<PortalHotKeys>(std::move(handler));
}

PortalHotKeys::PortalHotKeys(Handler handler) : handler_(std::move(handler)) {
  qDBusRegisterMetaType<PortalShortcut>();
  qDBusRegisterMetaType<QList<PortalShortcut>>();
  repeat_.setInterval(kRepeatMs);
  connect(&repeat_, &QTimer::timeout, this, [this] {
    if (heldId_ >= 0) {
      handler_(heldId_);
    }
  });
  probe();
}

PortalHotKeys::~PortalHotKeys() {
  closeSession();
}

void PortalHotKeys::probe() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    useWindowKeys("no session bus");
    return;
  }
  QDBusMessage get = QDBusMessage::createMethodCall(
      kPortal, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
  get << kShortcuts << QStringLiteral("version");
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(get, kCallTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
    w->deleteLater();
    const QDBusPendingReply<QDBusVariant> reply = *w;
    if (!reply.isValid()) {
      useWindowKeys("the desktop offers no global shortcuts");
      return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(kPortal, kPath, kShortcuts, QStringLiteral("Activated"), this,
                SLOT(onActivated(QDBusMessage)));
    bus.connect(kPortal, kPath, kShortcuts, QStringLiteral("Deactivated"), this,
                SLOT(onDeactivated(QDBusMessage)));
    mode_ = Mode::Portal;
    base::logInfo("Hot keys are global shortcuts of the desktop portal");
    if (wanted_) {
      openSession();
    }
  });
}

void PortalHotKeys::useWindowKeys(const char* why) {
  closeSession();
  mode_ = Mode::WindowKeys;
  base::logInfo("Hot keys work only while the window has the focus: ", why);
}

void PortalHotKeys::registerAll(base::SettingsStore& store) {
  unregisterAll();
  const std::vector<app::HotKeyRecord> records = app::readHotKeys(store);
  for (size_t i = 0; i < records.size(); ++i) {
    const uint32_t key = static_cast<uint32_t>(records[i].key);
    if (keysymOfKeyCode(key) == 0) {
      base::logError("Hot key with an unknown key code: ", static_cast<int64_t>(key & 0xffff));
      continue;
    }
    shortcuts_.push_back({QStringLiteral("hotkey%1").arg(i), shortcutDescription(records[i]),
                          static_cast<int32_t>(i), key, false});
  }
  if (wantsButtonKey(store)) {
    shortcuts_.push_back({QStringLiteral("f10"), QStringLiteral("Quillet hot key on release"),
                          kF10Id, kF10KeyCode, true});
  }
  wanted_ = true;
  if (mode_ == Mode::Portal) {
    openSession();
  }
}

void PortalHotKeys::unregisterAll() {
  wanted_ = false;
  repeat_.stop();
  heldId_ = -1;
  shortcuts_.clear();
  closeSession();
}

// --- The portal session ---------------------------------------------------------------------

void PortalHotKeys::request(const QString& method, QList<QVariant> arguments, QVariantMap options,
                            ResponseHandler handler) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  const QString token = QStringLiteral("quillet%1").arg(++tokens_);
  options.insert(QStringLiteral("handle_token"), token);
  // The answer comes on a Request object whose path follows from our bus name and the
  // token: listen there before asking, so that a quick answer is not missed.
  QString sender = bus.baseService().mid(1);
  sender.replace(QLatin1Char('.'), QLatin1Char('_'));
  const QString path = kPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
  pending_[path] = std::move(handler);
  bus.connect(kPortal, path, kRequest, QStringLiteral("Response"), this,
              SLOT(onResponse(QDBusMessage)));
  QDBusMessage call = QDBusMessage::createMethodCall(kPortal, kPath, kShortcuts, method);
  arguments.append(options);
  call.setArguments(arguments);
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, path, method](QDBusPendingCallWatcher* w) {
            w->deleteLater();
            if (w->isError()) {
              QDBusConnection::sessionBus().disconnect(kPortal, path, kRequest,
                                                       QStringLiteral("Response"), this,
                                                       SLOT(onResponse(QDBusMessage)));
              auto it = pending_.find(path);
              if (it != pending_.end()) {
                ResponseHandler handler = std::move(it->second);
                pending_.erase(it);
                base::logError("Global shortcuts: " + toUtf8(method) + " failed: ",
                               toUtf8(w->error().message()));
                handler(2, {});
              }
            }
          });
}

void PortalHotKeys::onResponse(const QDBusMessage& message) {
  auto it = pending_.find(message.path());
  if (it == pending_.end() || message.arguments().size() < 2) {
    return;
  }
  ResponseHandler handler = std::move(it->second);
  pending_.erase(it);
  QDBusConnection::sessionBus().disconnect(kPortal, message.path(), kRequest,
                                           QStringLiteral("Response"), this,
                                           SLOT(onResponse(QDBusMessage)));
  const uint32_t code = message.arguments().at(0).toUInt();
  const QVariantMap results = qdbus_cast<QVariantMap>(message.arguments().at(1));
  handler(code, results);
}

void PortalHotKeys::openSession() {
  closeSession();
  const uint32_t token = tokens_ + 1;
  opening_ = token;
  request(QStringLiteral("CreateSession"), {},
          {{QStringLiteral("session_handle_token"), QStringLiteral("quillet%1").arg(token)}},
          [this, token](uint32_t code, const QVariantMap& results) {
            const QString session = pathOf(results.value(QStringLiteral("session_handle")));
            if (opening_ != token) {
              // Unregistered (or registered anew) meanwhile: this session is not wanted.
              if (code == 0 && !session.isEmpty()) {
                QDBusConnection::sessionBus().asyncCall(QDBusMessage::createMethodCall(
                    kPortal, session, kSession, QStringLiteral("Close")));
              }
              return;
            }
            opening_ = 0;
            if (code != 0 || session.isEmpty()) {
              useWindowKeys("the desktop did not open a shortcut session");
              return;
            }
            session_ = session;
            bindShortcuts(token);
          });
}

void PortalHotKeys::bindShortcuts(uint32_t token) {
  QList<PortalShortcut> list;
  for (const Shortcut& shortcut : shortcuts_) {
    list.append(
        {shortcut.name,
         {{QStringLiteral("description"), shortcut.description},
          {QStringLiteral("preferred_trigger"), toQString(portalTrigger(shortcut.keyCode))}}});
  }
  const QString session = session_;
  request(QStringLiteral("BindShortcuts"),
          {QVariant::fromValue(QDBusObjectPath(session)), QVariant::fromValue(list), QString()}, {},
          [this, session, token](uint32_t code, const QVariantMap& results) {
            if (session_ != session) {
              return;  // closed meanwhile
            }
            if (code != 0) {
              useWindowKeys("the desktop did not take them");
              return;
            }
            QList<PortalShortcut> bound;
            results.value(QStringLiteral("shortcuts")).value<QDBusArgument>() >> bound;
            QString triggers;
            for (const PortalShortcut& shortcut : bound) {
              triggers +=
                  (triggers.isEmpty() ? QString() : QStringLiteral(", ")) + shortcut.id +
                  QLatin1Char(' ') +
                  shortcut.properties.value(QStringLiteral("trigger_description")).toString();
            }
            base::logInfo("Global shortcuts bound (session " + std::to_string(token) + "): ",
                          toUtf8(triggers));
          });
}

void PortalHotKeys::closeSession() {
  opening_ = 0;
  if (session_.isEmpty()) {
    return;
  }
  QDBusConnection::sessionBus().asyncCall(
      QDBusMessage::createMethodCall(kPortal, session_, kSession, QStringLiteral("Close")));
  session_.clear();
}

// --- Press and release ----------------------------------------------------------------------

const PortalHotKeys::Shortcut* PortalHotKeys::find(const QDBusMessage& message) const {
  const QList<QVariant> arguments = message.arguments();
  if (arguments.size() < 2 || session_.isEmpty() || pathOf(arguments.at(0)) != session_) {
    return nullptr;  // a session of another program, or one closed already
  }
  const QString name = arguments.at(1).toString();
  for (const Shortcut& shortcut : shortcuts_) {
    if (shortcut.name == name) {
      return &shortcut;
    }
  }
  return nullptr;
}

void PortalHotKeys::onActivated(const QDBusMessage& message) {
  const Shortcut* shortcut = find(message);
  if (shortcut == nullptr || shortcut->onRelease) {
    return;
  }
  heldId_ = shortcut->id;
  repeat_.start();
  handler_(shortcut->id);
}

void PortalHotKeys::onDeactivated(const QDBusMessage& message) {
  const Shortcut* shortcut = find(message);
  if (shortcut == nullptr) {
    return;
  }
  if (heldId_ == shortcut->id && !shortcut->onRelease) {
    repeat_.stop();
    heldId_ = -1;
  }
  if (shortcut->onRelease) {
    handler_(shortcut->id);
  }
}

bool PortalHotKeys::windowKey(const QKeyEvent& key) {
  if (mode_ != Mode::WindowKeys || !wanted_) {
    return false;
  }
  const uint32_t code = keyCodeOfKeyEvent(key);
  const bool release = key.type() == QEvent::KeyRelease;
  for (const Shortcut& shortcut : shortcuts_) {
    if (code == 0 || shortcut.keyCode != code) {
      continue;
    }
    // A held key repeats its press; a key acting on release acts once.
    if (release == shortcut.onRelease && !(release && key.isAutoRepeat())) {
      handler_(shortcut.id);
    }
    return true;
  }
  return false;
}

}  // namespace quillet::ui
