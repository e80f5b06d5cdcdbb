// SPDX-License-Identifier: Apache-2.0
// Thread priorities in the program's own numbers, mapped to what the thread may change both
// ways without privileges (see thread_priority.cpp).
#pragma once

#include <sys/types.h>

namespace quillet::platform {

// The program's priority numbers (smaller is more urgent).
enum ThreadPriority : int {
  kPriorityTimeCritical = 0,
  kPriorityHighest = 1,
  kPriorityAboveNormal = 2,
  kPriorityNormal = 3,
  kPriorityBelowNormal = 4,
  kPriorityLowest = 5,
  kPriorityAboveIdle = 6,
  kPriorityIdle = 7,
};

// Kernel id of the calling thread.
pid_t currentThreadId();
// Sets a thread's priority (by kernel thread id) best effort: failures (no permission to
// raise priority) are ignored. The value asked for is remembered per thread.
void setThreadPriority(pid_t tid, int priority);
// The priority last set for the calling thread (kPriorityNormal when never set).
int currentThreadPriority();
// Drops what was remembered for the calling thread (call when a thread ends).
void forgetThreadPriority();

}  // namespace quillet::platform
