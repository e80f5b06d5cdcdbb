// SPDX-License-Identifier: Apache-2.0
// The tick clock: 32-bit milliseconds since boot, compared by unsigned subtraction.
#pragma once

#include <cstdint>

namespace quillet::platform {

// Milliseconds of CLOCK_MONOTONIC, truncated to 32 bits, plus the offset taken once from
// the environment variable QUILLET_TICK_OFFSET (decimal, may be negative) so that tests
// can run next to the 32-bit wrap.
uint32_t tickMs();

// Replaces the offset for the rest of the process (tests).
void setTickOffset(uint32_t offset);

// How far `later` lies after `earlier`, wrap-safe; negative when `later` is earlier.
inline int32_t tickDiff(uint32_t later, uint32_t earlier) {
  return static_cast<int32_t>(later - earlier);
}

}  // namespace quillet::platform
