// SPDX-License-Identifier: Apache-2.0
// The tick clock over CLOCK_MONOTONIC with the test offset.
#include "platform/tick.h"

#include <atomic>
#include <cstdlib>
#include <ctime>

namespace quillet::platform {

namespace {

uint32_t offsetFromEnvironment() {
  const char* text = std::getenv("QUILLET_TICK_OFFSET");
  if (text == nullptr || *text == '\0') {
    return 0;
  }
  // Accept both signed and unsigned 32-bit spellings; the value wraps like the clock.
  return static_cast<uint32_t>(std::strtoll(text, nullptr, 0));
}

std::atomic<uint32_t>& offset() {
  static std::atomic<uint32_t> value{offsetFromEnvironment()};
  return value;
}

}  // namespace

uint32_t tickMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms =
      static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms) + offset().load(std::memory_order_relaxed);
}

void setTickOffset(uint32_t value) {
  offset().store(value, std::memory_order_relaxed);
}

}  // namespace quillet::platform
