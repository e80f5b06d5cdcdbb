// SPDX-License-Identifier: Apache-2.0
// startProgram with posix_spawnp and a reaper thread; pulseGpioLine with libgpiod (v1 API)
// when the build has it.
#include "platform/door_outputs.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <thread>

#ifdef QUILLET_HAVE_GPIOD
#include <gpiod.h>
#endif

extern char** environ;

namespace quillet::platform {

bool startProgram(const std::vector<std::string>& argv, std::string& error) {
  if (argv.empty() || argv[0].empty()) {
    error = "no program named";
    return false;
  }
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // Its own process group: a terminal's signals to the program do not reach it.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  pid_t pid = 0;
  const int r = posix_spawnp(&pid, args[0], nullptr, &attributes, args.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (r != 0) {
    error = std::strerror(r);
    return false;
  }
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

#ifdef QUILLET_HAVE_GPIOD
bool pulseGpioLine(const GpioPulse& pulse, std::string& error) {
  gpiod_chip* chip = gpiod_chip_open_lookup(pulse.chip.c_str());
  if (chip == nullptr) {
    error = "no GPIO chip " + pulse.chip + ": " + std::strerror(errno);
    return false;
  }
  gpiod_line* line = gpiod_chip_get_line(chip, pulse.line);
  const int flags = pulse.activeLow ? GPIOD_LINE_REQUEST_FLAG_ACTIVE_LOW : 0;
  if (line == nullptr || gpiod_line_request_output_flags(line, "quillet", flags, 1) != 0) {
    error = "GPIO line " + std::to_string(pulse.line) + " of " + pulse.chip +
            " cannot be driven: " + std::strerror(errno);
    gpiod_chip_close(chip);
    return false;
  }
  std::thread([chip, line, ms = pulse.pulseMs] {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    gpiod_line_set_value(line, 0);
    gpiod_line_release(line);
    gpiod_chip_close(chip);
  }).detach();
  return true;
}
#else
bool pulseGpioLine(const GpioPulse&, std::string& error) {
  error = "this build has no GPIO support (libgpiod)";
  return false;
}
#endif

}  // namespace quillet::platform
