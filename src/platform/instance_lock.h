// The per-profile start-up lock (flock on a lock file), held by a starting instance until
// it can answer on its control socket.
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

 private:
  UniqueFd fd_;
};

}  // namespace quillet::platform
