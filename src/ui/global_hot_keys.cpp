// SPDX-License-Identifier: Apache-2.0
// X11 key grabs for the hot-key records, and the key names the other kinds share.
#include "ui/global_hot_keys.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QGuiApplication>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/hot_keys.h"
#include "base/log.h"
#include "ui/portal_hot_keys.h"

// Xlib last: its macros (Bool, Status, KeyPress) clash with Qt's headers.
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>

namespace quillet::ui {

namespace {

// Keys that are neither digits, letters nor function keys: record code, keysym, Qt key.
struct NamedKey {
  uint16_t code;
  uint32_t keysym;
  int qtKey;
};
constexpr NamedKey kNamedKeys[] = {
    {0x08, XK_BackSpace, Qt::Key_Backspace},
    {0x09, XK_Tab, Qt::Key_Tab},
    {0x0d, XK_Return, Qt::Key_Return},
    {0x0d, XK_Return, Qt::Key_Enter},
    {0x13, XK_Pause, Qt::Key_Pause},
    {0x1b, XK_Escape, Qt::Key_Escape},
    {0x20, XK_space, Qt::Key_Space},
    {0x21, XK_Prior, Qt::Key_PageUp},
    {0x22, XK_Next, Qt::Key_PageDown},
    {0x23, XK_End, Qt::Key_End},
    {0x24, XK_Home, Qt::Key_Home},
    {0x25, XK_Left, Qt::Key_Left},
    {0x26, XK_Up, Qt::Key_Up},
    {0x27, XK_Right, Qt::Key_Right},
    {0x28, XK_Down, Qt::Key_Down},
    {0x2d, XK_Insert, Qt::Key_Insert},
    {0x2e, XK_Delete, Qt::Key_Delete},
    {0x91, XK_Scroll_Lock, Qt::Key_ScrollLock},
};

// Record modifiers: Alt 1, Control 2, Shift 4, Windows key 8.
constexpr uint32_t kAlt = 1;
constexpr uint32_t kControl = 2;
constexpr uint32_t kShift = 4;
constexpr uint32_t kWindows = 8;

uint32_t x11Modifiers(uint32_t recordModifiers) {
  uint32_t mask = 0;
  mask |= (recordModifiers & kAlt) != 0 ? Mod1Mask : 0;
  mask |= (recordModifiers & kControl) != 0 ? ControlMask : 0;
  mask |= (recordModifiers & kShift) != 0 ? ShiftMask : 0;
  mask |= (recordModifiers & kWindows) != 0 ? Mod4Mask : 0;
  return mask;
}

// Lock keys must not stop a hot key: each grab is made with every combination of them.
constexpr uint32_t kIgnoredMasks[] = {0, LockMask, Mod2Mask, LockMask | Mod2Mask};
constexpr uint32_t kRelevantMasks = ShiftMask | ControlMask | Mod1Mask | Mod4Mask;

Display* qtDisplay() {
  auto* x11 =
      qApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 != nullptr ? x11->display() : nullptr;
}

// On a Wayland desktop an X11 client (XWayland) sees grabbed keys only while one of the
// X11 windows has the focus: the portal's shortcuts are global there.
bool waylandSession() {
  const char* type = std::getenv("XDG_SESSION_TYPE");
  const char* display = std::getenv("WAYLAND_DISPLAY");
  return (type != nullptr && std::strcmp(type, "wayland") == 0) ||
         (display != nullptr && *display != '\0');
}

// Key grabs on the X11 root window.
class X11HotKeys : public GlobalHotKeys, public QAbstractNativeEventFilter {
 public:
  X11HotKeys(Display* display, Handler handler);
  ~X11HotKeys() override;
  void registerAll(base::SettingsStore& store) override;
  void unregisterAll() override;
  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

 private:
  struct Grab {
    int32_t id;
    uint32_t keycode;
    uint32_t modifiers;  // X11 modifier mask
    bool onRelease;
  };
  void grab(int32_t id, uint32_t keysym, uint32_t modifiers, bool onRelease);

  Display* display_;
  Handler handler_;
  std::vector<Grab> grabs_;
};

}  // namespace

uint32_t keysymOfKeyCode(uint32_t keyCode) {
  const uint32_t code = keyCode & 0xffff;
  if (code >= 0x70 && code <= 0x87) {
    return XK_F1 + (code - 0x70);  // function keys
  }
  if ((code >= '0' && code <= '9')) {
    return XK_0 + (code - '0');
  }
  if (code >= 'A' && code <= 'Z') {
    return XK_a + (code - 'A');
  }
  if (code >= 0x60 && code <= 0x69) {
    return XK_KP_0 + (code - 0x60);  // keypad digits
  }
  for (const NamedKey& named : kNamedKeys) {
    if (named.code == code) {
      return named.keysym;
    }
  }
  return 0;
}

uint32_t keyCodeOfKeyEvent(const QKeyEvent& key) {
  const int qtKey = key.key();
  const Qt::KeyboardModifiers held = key.modifiers();
  uint32_t code = 0;
  if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F24) {
    code = 0x70 + static_cast<uint32_t>(qtKey - Qt::Key_F1);
  } else if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) {
    code = (held & Qt::KeypadModifier) != 0 ? 0x60 + static_cast<uint32_t>(qtKey - Qt::Key_0)
                                            : static_cast<uint32_t>(qtKey);
  } else if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) {
    code = static_cast<uint32_t>(qtKey);
  } else {
    for (const NamedKey& named : kNamedKeys) {
      if (named.qtKey == qtKey) {
        code = named.code;
      }
    }
  }
  if (code == 0) {
    return 0;
  }
  uint32_t modifiers = 0;
  modifiers |= (held & Qt::AltModifier) != 0 ? kAlt : 0;
  modifiers |= (held & Qt::ControlModifier) != 0 ? kControl : 0;
  modifiers |= (held & Qt::ShiftModifier) != 0 ? kShift : 0;
  modifiers |= (held & Qt::MetaModifier) != 0 ? kWindows : 0;
  return modifiers << 16 | code;
}

bool wantsButtonKey(base::SettingsStore& store) {
  return !store.readText("Settings", "ButtonNumber").empty() &&
         store.readInt("Settings", "ButtonNumber", -1) == 0;
}

std::string portalTrigger(uint32_t keyCode) {
  const uint32_t keysym = keysymOfKeyCode(keyCode);
  const char* name = keysym != 0 ? XKeysymToString(keysym) : nullptr;
  if (name == nullptr) {
    return {};
  }
  const uint32_t modifiers = keyCode >> 16;
  std::string trigger;
  trigger += (modifiers & kControl) != 0 ? "CTRL+" : "";
  trigger += (modifiers & kAlt) != 0 ? "ALT+" : "";
  trigger += (modifiers & kShift) != 0 ? "SHIFT+" : "";
  trigger += (modifiers & kWindows) != 0 ? "LOGO+" : "";
  return trigger + name;
}

std::unique_ptr<GlobalHotKeys> GlobalHotKeys::create(Handler handler) {
  Display* display = qtDisplay();
  if (display != nullptr && !waylandSession()) {
    return std::make_unique<X11HotKeys>(display, std::move(handler));
  }
  return makePortalHotKeys(std::move(handler));
}

X11HotKeys::X11HotKeys(Display* display, Handler handler)
    : display_(display), handler_(std::move(handler)) {
  qApp->installNativeEventFilter(this);
}

X11HotKeys::~X11HotKeys() {
  unregisterAll();
  if (qApp != nullptr) {
    qApp->removeNativeEventFilter(this);
  }
}

void X11HotKeys::grab(int32_t id, uint32_t keysym, uint32_t modifiers, bool onRelease) {
  Display* display = display_;
  const KeyCode keycode = XKeysymToKeycode(display, keysym);
  if (keycode == 0) {
    return;
  }
  for (uint32_t ignored : kIgnoredMasks) {
    // A key taken by another program fails asynchronously; that is ignored.
    XGrabKey(display, keycode, modifiers | ignored, DefaultRootWindow(display), False,
             GrabModeAsync, GrabModeAsync);
  }
  grabs_.push_back(Grab{id, keycode, modifiers, onRelease});
}

void X11HotKeys::registerAll(base::SettingsStore& store) {
  unregisterAll();
  const std::vector<app::HotKeyRecord> records = app::readHotKeys(store);
  for (size_t i = 0; i < records.size(); ++i) {
    const uint32_t key = static_cast<uint32_t>(records[i].key);
    const uint32_t keysym = keysymOfKeyCode(key);
    if (keysym == 0) {
      base::logError("Hot key with an unknown key code: ", static_cast<int64_t>(key & 0xffff));
      continue;
    }
    grab(static_cast<int32_t>(i), keysym, x11Modifiers(key >> 16), false);
  }
  if (wantsButtonKey(store)) {
    grab(kF10Id, keysymOfKeyCode(kF10KeyCode), 0, true);
  }
  XFlush(display_);
}

void X11HotKeys::unregisterAll() {
  Display* display = display_;
  for (const Grab& g : grabs_) {
    for (uint32_t ignored : kIgnoredMasks) {
      XUngrabKey(display, static_cast<int>(g.keycode), g.modifiers | ignored,
                 DefaultRootWindow(display));
    }
  }
  if (!grabs_.empty()) {
    XFlush(display);
  }
  grabs_.clear();
}

bool X11HotKeys::nativeEventFilter(const QByteArray& eventType, void* message,
                                   qintptr* /*result*/) {
  if (eventType != "xcb_generic_event_t" || grabs_.empty()) {
    return false;
  }
  auto* event = static_cast<xcb_generic_event_t*>(message);
  const uint8_t type = event->response_type & 0x7f;
  if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE) {
    return false;
  }
  auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
  if (key->event != key->root) {
    return false;  // a key of one of our windows, not a grab
  }
  const bool release = type == XCB_KEY_RELEASE;
  for (const Grab& g : grabs_) {
    if (g.keycode == key->detail && g.modifiers == (key->state & kRelevantMasks) &&
        g.onRelease == release) {
      handler_(g.id);
      return true;
    }
  }
  return false;
}

}  // namespace quillet::ui
