// Best-effort thread priorities through setpriority on the thread id.
#include "platform/thread_priority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <map>
#include <mutex>

namespace quillet::platform {

namespace {

std::mutex gMutex;
std::map<pid_t, int> gPriorities;  // what was asked for, per thread

int niceFor(int priority) {
  static constexpr int kNice[8] = {-10, -5, -2, 0, 5, 10, 15, 19};
  if (priority < 0) priority = 0;
  if (priority > 7) priority = 7;
  return kNice[priority];
}

}  // namespace

pid_t currentThreadId() {
  return static_cast<pid_t>(::syscall(SYS_gettid));
}

void setThreadPriority(pid_t tid, int priority) {
  {
    std::lock_guard<std::mutex> lock(gMutex);
    gPriorities[tid] = priority;
  }
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), niceFor(priority));  // may fail: fine
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
