// SPDX-License-Identifier: Apache-2.0
// Door control: codes the far end keys in during a call (telephone events) that run a
// program or pulse a GPIO line. Settings, section "Door", for N = 1, 2, ...:
//   CodeN     the digits (0-9, A-D); "#" ends a code early, "*" starts again
//   ActionN   "command:PROGRAM ARG..." (no shell; "..." groups) or
//             "gpio:CHIP:LINE[:PULSE_MS[:active-low]]"
//   ContactN  the contact (name, number or address) whose calls may use it; empty: any call
// Three wrong codes in a call end it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::base {
class SettingsStore;
}

namespace quillet::app {

struct DoorCode {
  int32_t index = 0;  // N of CodeN
  std::string code;
  std::string action;
  std::string contact;
};

// The door codes in the settings; entries that cannot work are logged and left out.
std::vector<DoorCode> readDoorCodes(base::SettingsStore& store);

enum class DoorVerdict { None, Accepted, Wrong, TooManyWrong };

class DoorControl {
 public:
  static constexpr int32_t kMostWrong = 3;
  static constexpr uint32_t kDigitGapMs = 5000;  // a longer pause starts the code again

  DoorControl() = default;
  // The codes this call may use: those of no contact, and those whose contact the far end
  // is (`isFarEnd`).
  DoorControl(const std::vector<DoorCode>& codes,
              const std::function<bool(const std::string&)>& isFarEnd);

  bool empty() const { return codes_.empty(); }
  int32_t wrongCount() const { return wrong_; }
  // A digit from the far end at `nowMs`. Accepted: `accepted` is the code's entry.
  DoorVerdict digit(char digit, uint32_t nowMs, const DoorCode** accepted);

 private:
  DoorVerdict submit(const DoorCode** accepted);
  DoorVerdict wrong();

  std::vector<DoorCode> codes_;
  std::string entry_;
  uint32_t lastDigitMs_ = 0;
  int32_t wrong_ = 0;
};

// Runs a door action ("command:..." or "gpio:..."); false with `error` set when it cannot.
bool runDoorAction(const std::string& action, std::string& error);

// The words of a command line: split at blanks, "..." keeps blanks, \" and \\ inside it.
std::vector<std::string> splitCommandLine(std::string_view text);

}  // namespace quillet::app
