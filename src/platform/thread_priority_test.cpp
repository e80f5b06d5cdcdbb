// SPDX-License-Identifier: Apache-2.0
// Thread priorities go down and come back up again, with and without the privilege to
// lower nice values.
#include "platform/thread_priority.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

namespace quillet::platform {
namespace {

struct Scheduling {
  int nice = 0;
  int policy = 0;
};

Scheduling schedulingOf(pid_t tid) {
  return {::getpriority(PRIO_PROCESS, static_cast<id_t>(tid)), ::sched_getscheduler(tid)};
}

// Lowers a thread below normal, then asks for normal and for time critical again: it must
// be back where it started (or more urgent) each time. Answers 0 when it is.
int lowerAndRestore() {
  int failures = 0;
  std::thread worker([&] {
    const pid_t tid = currentThreadId();
    const Scheduling start = schedulingOf(tid);
    setThreadPriority(tid, kPriorityBelowNormal);
    const Scheduling low = schedulingOf(tid);
    if (low.nice <= start.nice && low.policy == start.policy) ++failures;  // not lowered at all
    setThreadPriority(tid, kPriorityNormal);
    const Scheduling normal = schedulingOf(tid);
    if (normal.nice != start.nice || normal.policy != SCHED_OTHER) ++failures;
    setThreadPriority(tid, kPriorityBelowNormal);
    setThreadPriority(tid, kPriorityTimeCritical);
    const Scheduling urgent = schedulingOf(tid);
    if (urgent.nice > start.nice || urgent.policy != SCHED_OTHER) ++failures;
    if (currentThreadPriority() != kPriorityTimeCritical) ++failures;
  });
  worker.join();
  return failures;
}

TEST(ThreadPriority, ComesBackAfterBeingLowered) {
  EXPECT_EQ(lowerAndRestore(), 0);
}

// The usual desktop user: no CAP_SYS_NICE and RLIMIT_NICE 0 (a nice value, once raised, can
// never be lowered again).
TEST(ThreadPriority, ComesBackAfterBeingLoweredWithoutPrivileges) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    syscall(SYS_capget, &header, data);
    data[CAP_TO_INDEX(CAP_SYS_NICE)].effective &= ~CAP_TO_MASK(CAP_SYS_NICE);
    data[CAP_TO_INDEX(CAP_SYS_NICE)].permitted &= ~CAP_TO_MASK(CAP_SYS_NICE);
    syscall(SYS_capset, &header, data);
    rlimit none{0, 0};
    setrlimit(RLIMIT_NICE, &none);
    _exit(lowerAndRestore() == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace quillet::platform
