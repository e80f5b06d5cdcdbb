// SPDX-License-Identifier: Apache-2.0
// Unpredictable numbers from the system's random source, for values a stranger must not
// guess (RTP stream identifiers, first sequence numbers and timestamps).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet::platform {

// Fills `size` bytes from getrandom(2). Should the system refuse, the bytes come from
// std::random_device instead and the refusal is reported once on standard error.
void randomBytes(void* out, size_t size);

// 32 random bits.
uint32_t random32();

}  // namespace quillet::platform
