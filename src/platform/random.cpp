// SPDX-License-Identifier: Apache-2.0
// The random source: getrandom(2), std::random_device when the system refuses it.
#include "platform/random.h"

#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

namespace quillet::platform {

namespace {

// getrandom(2) returns at most 32 MiB per call and may be interrupted: loop until filled.
bool fromKernel(uint8_t* out, size_t size) {
  while (size > 0) {
    const ssize_t got = ::getrandom(out, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

void fromRandomDevice(uint8_t* out, size_t size) {
  static std::atomic<bool> reported{false};
  if (!reported.exchange(true)) {
    std::fprintf(stderr, "getrandom failed (%s): using std::random_device\n", std::strerror(errno));
  }
  std::random_device device;
  for (size_t i = 0; i < size; i += sizeof(uint32_t)) {
    const uint32_t word = device();
    std::memcpy(out + i, &word, std::min(sizeof(word), size - i));
  }
}

}  // namespace

void randomBytes(void* out, size_t size) {
  auto* bytes = static_cast<uint8_t*>(out);
  if (!fromKernel(bytes, size)) fromRandomDevice(bytes, size);
}

uint32_t random32() {
  uint32_t value = 0;
  randomBytes(&value, sizeof(value));
  return value;
}

}  // namespace quillet::platform
