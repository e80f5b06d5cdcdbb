// SPDX-License-Identifier: Apache-2.0
// The per-profile instance locks (flock on a lock file): the start-up lock, held by a
// starting instance until it can answer on its control socket, and the running lock, held by
// the instance that runs until it has ended.
#pragma once

#include <cstdint>
#include <string>

#include "platform/socket.h"

namespace quillet::platform {

constexpr uint32_t kStartupLockBudgetMs = 20000;

class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock() { release(); }
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Best effort within budgetMs: while the lock file cannot be created for lack of access,
  // sleep 50 ms and retry (each retry takes 50 ms from the budget, stopping when less than
  // 51 ms remain), then wait for the lock for the rest of the budget. Answers whether the
  // lock is held; the start goes on either way.
  bool acquire(const std::string& path, uint32_t budgetMs = kStartupLockBudgetMs);
  void release();
  bool held() const { return fd_.valid(); }

  // Waits up to budgetMs until nobody holds the lock at `path` (taking it for a moment to
  // know): whether it was free in time. A lock file that cannot be opened counts as held.
  static bool waitUntilFree(const std::string& path, uint32_t budgetMs);

 private:
  UniqueFd fd_;
};

}  // namespace quillet::platform
