// SPDX-License-Identifier: Apache-2.0
// The start-up lock over flock.
#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/tick.h"

namespace quillet::platform {

bool InstanceLock::acquire(const std::string& path, uint32_t budgetMs) {
  release();
  int32_t budget = static_cast<int32_t>(budgetMs);
  int fd = -1;
  for (;;) {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EACCES && errno != EINTR) || budget < 51) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    budget -= 50;
  }
  if (fd < 0) {
    return false;
  }
  UniqueFd file(fd);
  const uint32_t start = tickMs();
  // Polled in short steps: only while another instance is starting.
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      return false;
    }
    if (tickDiff(tickMs(), start) >= budget) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  fd_ = std::move(file);
  return true;
}

void InstanceLock::release() {
  fd_.reset();
}

bool InstanceLock::waitUntilFree(const std::string& path, uint32_t budgetMs) {
  InstanceLock probe;
  return probe.acquire(path, budgetMs);  // released again as the probe goes
}

}  // namespace quillet::platform
