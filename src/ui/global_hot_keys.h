// SPDX-License-Identifier: Apache-2.0
// System-wide hot keys from the Hotkey/Details records, so that they work while another
// program has the focus. Identifier N is the N-th record; F10 is identifier 2 (acting on its
// release) where Settings/ButtonNumber is set to 0 (a door station's button). On an X11 desktop
// they are key grabs on the root window; on a Wayland desktop they are the desktop portal's global
// shortcuts, and where the desktop offers none, keys of the main window only (logged once).
#pragma once

#include <QKeyEvent>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/settings_store.h"

namespace quillet::ui {

// The X11 keysym of a key code as the records keep it (low 16 bits), 0 when unknown.
uint32_t keysymOfKeyCode(uint32_t keyCode);
// The record's key code (modifiers in the high 16 bits) of a Qt key event, 0 when the key
// has no code.
uint32_t keyCodeOfKeyEvent(const QKeyEvent& key);
// A record's key as a shortcut trigger of the desktop portal ("CTRL+SHIFT+F8"); empty when
// the key is unknown.
std::string portalTrigger(uint32_t keyCode);

// Whether F10 stands in for a door station's hardware button: only where the settings ask
// for it with Settings/ButtonNumber=0, never on a desktop by default.
bool wantsButtonKey(base::SettingsStore& store);

class GlobalHotKeys {
 public:
  using Handler = std::function<void(int32_t id)>;
  static constexpr int32_t kF10Id = 2;
  static constexpr uint32_t kF10KeyCode = 0x79;

  // X11 grabs on an X11 desktop, else the portal's shortcuts or the window's keys.
  static std::unique_ptr<GlobalHotKeys> create(Handler handler);
  virtual ~GlobalHotKeys() = default;

  virtual void registerAll(base::SettingsStore& store) = 0;
  virtual void unregisterAll() = 0;
  // A key of the main window; true when it was taken as a hot key (window keys only).
  virtual bool windowKey(const QKeyEvent& /*key*/) { return false; }
};

}  // namespace quillet::ui
