// SPDX-License-Identifier: Apache-2.0
// Thread priorities that an unprivileged process can change both ways. Linux lets such a
// process raise its nice value but never lower it again (RLIMIT_NICE is 0 by default), so
// nice values are used only where the thread can come back to the nice the process started
// with: with CAP_SYS_NICE or an RLIMIT_NICE that reaches it. Otherwise the nice value stays
// as it started, more urgent priorities are left at normal, and less urgent ones use the
// SCHED_BATCH policy, which a thread may leave again at will.
#include "platform/thread_priority.h"

#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>

namespace quillet::platform {

namespace {

// What was asked for, per thread. Never destroyed: a detached thread that ends while the
// process exits still forgets its entry after the static destructors have run.
std::mutex& gMutex = *new std::mutex;
std::map<pid_t, int>& gPriorities = *new std::map<pid_t, int>;

int clampPriority(int priority) {
  return std::clamp(priority, static_cast<int>(kPriorityTimeCritical),
                    static_cast<int>(kPriorityIdle));
}

// Nice offsets from the starting nice value, by priority.
int niceOffset(int priority) {
  static constexpr int kOffset[8] = {-10, -5, -2, 0, 5, 10, 15, 19};
  return kOffset[clampPriority(priority)];
}

bool hasCapSysNice() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  return (data[CAP_TO_INDEX(CAP_SYS_NICE)].effective & CAP_TO_MASK(CAP_SYS_NICE)) != 0;
}

// The lowest nice value a thread of this process may set.
int niceFloor() {
  if (hasCapSysNice()) return -20;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NICE, &limit) != 0) return 20;
  const rlim_t reach = std::min<rlim_t>(limit.rlim_cur, 40);
  return 20 - static_cast<int>(reach);
}

// The nice value of the process when priorities were first set.
int startingNice() {
  static const int nice = [] {
    errno = 0;
    const int n = ::getpriority(PRIO_PROCESS, 0);
    return errno == 0 ? n : 0;
  }();
  return nice;
}

void setPolicy(pid_t tid, int policy) {
  sched_param param{};
  ::sched_setscheduler(tid, policy, &param);  // best effort
}

}  // namespace

pid_t currentThreadId() {
  return static_cast<pid_t>(::syscall(SYS_gettid));
}

void setThreadPriority(pid_t tid, int priority) {
  priority = clampPriority(priority);
  {
    std::lock_guard<std::mutex> lock(gMutex);
    gPriorities[tid] = priority;
  }
  const int base = startingNice();
  const int floor = niceFloor();
  const int policy = ::sched_getscheduler(tid);
  if (policy != SCHED_OTHER && policy != SCHED_BATCH) return;  // realtime or idle: leave it
  if (floor <= base) {
    // The way back is open: nice values around the starting one.
    if (policy != SCHED_OTHER) setPolicy(tid, SCHED_OTHER);
    const int nice = std::clamp(base + niceOffset(priority), floor, 19);
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
    return;
  }
  const int wanted = priority > kPriorityNormal ? SCHED_BATCH : SCHED_OTHER;
  if (policy != wanted) setPolicy(tid, wanted);
}

int currentThreadPriority() {
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = gPriorities.find(currentThreadId());
  return it == gPriorities.end() ? kPriorityNormal : it->second;
}

void forgetThreadPriority() {
  std::lock_guard<std::mutex> lock(gMutex);
  gPriorities.erase(currentThreadId());
}

}  // namespace quillet::platform
