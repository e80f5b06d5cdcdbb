// X11 key grabs for the hot-key records.
#include "ui/global_hot_keys.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include "app/hot_keys.h"
#include "base/log.h"

// Xlib last: its macros (Bool, Status, KeyPress) clash with Qt's headers.
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>

namespace quillet::ui {

namespace {

// Record modifiers: Alt 1, Control 2, Shift 4, Windows key 8.
uint32_t x11Modifiers(uint32_t recordModifiers) {
  uint32_t mask = 0;
  mask |= (recordModifiers & 1) != 0 ? Mod1Mask : 0;
  mask |= (recordModifiers & 2) != 0 ? ControlMask : 0;
  mask |= (recordModifiers & 4) != 0 ? ShiftMask : 0;
  mask |= (recordModifiers & 8) != 0 ? Mod4Mask : 0;
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
  switch (code) {
    case 0x08:
      return XK_BackSpace;
    case 0x09:
      return XK_Tab;
    case 0x0d:
      return XK_Return;
    case 0x1b:
      return XK_Escape;
    case 0x20:
      return XK_space;
    case 0x21:
      return XK_Prior;
    case 0x22:
      return XK_Next;
    case 0x23:
      return XK_End;
    case 0x24:
      return XK_Home;
    case 0x25:
      return XK_Left;
    case 0x26:
      return XK_Up;
    case 0x27:
      return XK_Right;
    case 0x28:
      return XK_Down;
    case 0x2d:
      return XK_Insert;
    case 0x2e:
      return XK_Delete;
    case 0x13:
      return XK_Pause;
    case 0x91:
      return XK_Scroll_Lock;
    default:
      return 0;
  }
}

std::unique_ptr<GlobalHotKeys> GlobalHotKeys::create(Handler handler) {
  Display* display = qtDisplay();
  if (display == nullptr) {
    base::logInfo("No X11 display: hot keys work only while the window has the focus");
    return nullptr;
  }
  return std::unique_ptr<GlobalHotKeys>(new GlobalHotKeys(display, std::move(handler)));
}

GlobalHotKeys::GlobalHotKeys(void* display, Handler handler)
    : display_(display), handler_(std::move(handler)) {
  qApp->installNativeEventFilter(this);
}

GlobalHotKeys::~GlobalHotKeys() {
  unregisterAll();
  if (qApp != nullptr) {
    qApp->removeNativeEventFilter(this);
  }
}

void GlobalHotKeys::grab(int32_t id, uint32_t keysym, uint32_t modifiers, bool onRelease) {
  auto* display = static_cast<Display*>(display_);
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

void GlobalHotKeys::registerAll(base::SettingsStore& store) {
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
  if (store.readInt("Settings", "ButtonNumber", 0) == 0) {
    grab(kF10Id, XK_F10, 0, true);
  }
  XFlush(static_cast<Display*>(display_));
}

void GlobalHotKeys::unregisterAll() {
  auto* display = static_cast<Display*>(display_);
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

bool GlobalHotKeys::nativeEventFilter(const QByteArray& eventType, void* message,
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
