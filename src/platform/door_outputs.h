// SPDX-License-Identifier: Apache-2.0
// What a door action drives: a program started without a shell, or a GPIO line pulsed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillet::platform {

// Starts argv[0] (looked up on PATH) with the given arguments, detached: the program's
// threads do not wait for it, and it is reaped when it ends. False with `error` set when it
// cannot be started (empty argv, not found, not executable).
bool startProgram(const std::vector<std::string>& argv, std::string& error);

struct GpioPulse {
  std::string chip;  // "gpiochip0", "/dev/gpiochip0", a label or a number
  uint32_t line = 0;
  uint32_t pulseMs = 500;
  bool activeLow = false;
};

// Drives the line active for pulse.pulseMs, then inactive, on a thread of its own. False
// with `error` set when the line cannot be had (no such chip or line, busy, no GPIO in this
// build).
bool pulseGpioLine(const GpioPulse& pulse, std::string& error);

}  // namespace quillet::platform
