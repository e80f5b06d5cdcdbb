// System-wide hot keys from the Hotkey/Details records, taken as X11 key grabs on the root
// window, so that they work while another program has the focus. Identifier N is the N-th
// record; F10 is grabbed as identifier 2 (on release) when Settings/ButtonNumber is 0.
// Without an X11 display (Wayland) only the window's own keys work; that is logged once.
#pragma once

#include <QAbstractNativeEventFilter>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "base/settings_store.h"

namespace quillet::ui {

// The X11 keysym of a key code as the records keep it (low 16 bits), 0 when unknown.
uint32_t keysymOfKeyCode(uint32_t keyCode);

class GlobalHotKeys : public QAbstractNativeEventFilter {
 public:
  using Handler = std::function<void(int32_t id)>;
  static constexpr int32_t kF10Id = 2;

  // Null when the display is not X11.
  static std::unique_ptr<GlobalHotKeys> create(Handler handler);
  ~GlobalHotKeys() override;

  void registerAll(base::SettingsStore& store);
  void unregisterAll();
  size_t grabCount() const { return grabs_.size(); }

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

 private:
  struct Grab {
    int32_t id;
    uint32_t keycode;
    uint32_t modifiers;  // X11 modifier mask
    bool onRelease;
  };
  GlobalHotKeys(void* display, Handler handler);
  void grab(int32_t id, uint32_t keysym, uint32_t modifiers, bool onRelease);

  void* display_;  // Display*
  Handler handler_;
  std::vector<Grab> grabs_;
};

}  // namespace quillet::ui
