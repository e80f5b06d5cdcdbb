// SPDX-License-Identifier: Apache-2.0
// rtkit over sd-bus: MaxRealtimePriority and RTTimeUSecMax read, the process's RLIMIT_RTTIME
// brought within what rtkit demands, then MakeThreadRealtime for the calling thread. A thread
// that uses up its real-time CPU budget without blocking (a fault) is put back to normal
// scheduling by the SIGXCPU handler instead of the process being killed.
#include "platform/realtime.h"

#include <sched.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/audio_device_internal.h"
#include "platform/thread_priority.h"

#ifdef QUILLET_HAVE_SDBUS
#include <systemd/sd-bus.h>
#endif

namespace quillet::platform {

namespace {

std::mutex& gMutex = *new std::mutex;  // never destroyed: threads may ask while the process exits
bool gUnavailable = false;             // rtkit is not on this desktop: do not ask again
std::atomic<bool> gTold{false};

// Threads made real-time, for the SIGXCPU handler (signal-safe: a fixed table of atomics).
constexpr int kMaxRealtimeThreads = 32;
std::atomic<pid_t> gRealtimeThreads[kMaxRealtimeThreads];

void demoteRealtimeThreads(int) {
  const sched_param param{};
  for (auto& tid : gRealtimeThreads) {
    const pid_t id = tid.exchange(0);
    if (id != 0) sched_setscheduler(id, SCHED_OTHER, &param);
  }
}

void remember(pid_t tid) {
  static std::once_flag handler;
  std::call_once(handler, [] {
    struct sigaction action {};
    action.sa_handler = demoteRealtimeThreads;
    sigemptyset(&action.sa_mask);
    sigaction(SIGXCPU, &action, nullptr);
  });
  for (auto& slot : gRealtimeThreads) {
    pid_t empty = 0;
    if (slot.compare_exchange_strong(empty, tid)) return;
  }
  // Table full: old entries are threads that ended; reuse a slot.
  gRealtimeThreads[static_cast<uint32_t>(tid) % kMaxRealtimeThreads] = tid;
}

// The calling thread's policy without SCHED_RESET_ON_FORK, which rtkit adds.
int currentPolicy() {
  return sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
}

void tellOnce(const std::string& line) {
  if (!gTold.exchange(true)) detail::audioNotice(line);
}

#ifdef QUILLET_HAVE_SDBUS
constexpr const char* kService = "org.freedesktop.RealtimeKit1";
constexpr const char* kPath = "/org/freedesktop/RealtimeKit1";

struct BusCall {
  sd_bus* bus = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~BusCall() {
    sd_bus_error_free(&error);
    if (bus != nullptr) sd_bus_flush_close_unref(bus);
  }
  std::string why(int r) const {
    if (sd_bus_error_is_set(&error)) return error.message != nullptr ? error.message : error.name;
    return std::strerror(-r);
  }
  bool serviceMissing() const {
    return sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
           sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER);
  }
};

// rtkit refuses a process whose RLIMIT_RTTIME is unset or above its maximum.
bool limitRealtimeCpu(int64_t usecMax) {
  rlimit limit{};
  if (getrlimit(RLIMIT_RTTIME, &limit) != 0) return false;
  const auto max = static_cast<rlim_t>(usecMax);
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max <= max && limit.rlim_cur <= max)
    return true;
  limit.rlim_cur = limit.rlim_max = max;
  return setrlimit(RLIMIT_RTTIME, &limit) == 0;
}

// Returns the priority rtkit gave, or 0 with why set.
int askRtkit(pid_t tid, std::string& why) {
  BusCall call;
  int r = sd_bus_open_system(&call.bus);
  if (r < 0) {
    gUnavailable = true;
    why = "no system bus: " + call.why(r);
    return 0;
  }
  int32_t maxPriority = 0;
  r = sd_bus_get_property_trivial(call.bus, kService, kPath, kService, "MaxRealtimePriority",
                                  &call.error, 'i', &maxPriority);
  if (r < 0) {
    gUnavailable = call.serviceMissing();
    why = "rtkit: " + call.why(r);
    return 0;
  }
  int64_t usecMax = 0;
  r = sd_bus_get_property_trivial(call.bus, kService, kPath, kService, "RTTimeUSecMax", &call.error,
                                  'x', &usecMax);
  if (r < 0 || usecMax <= 0 || !limitRealtimeCpu(usecMax)) {
    why = "rtkit: cannot set the real-time CPU limit it asks for";
    return 0;
  }
  const uint32_t priority =
      static_cast<uint32_t>(std::min<int32_t>(kAudioRealtimePriority, maxPriority));
  if (priority == 0) {
    why = "rtkit grants no real-time priority";
    return 0;
  }
  r = sd_bus_call_method(call.bus, kService, kPath, kService, "MakeThreadRealtime", &call.error,
                         nullptr, "tu", static_cast<uint64_t>(tid), priority);
  if (r < 0) {
    why = "rtkit: " + call.why(r);
    return 0;
  }
  return static_cast<int>(priority);
}
#else
int askRtkit(pid_t, std::string& why) {
  gUnavailable = true;
  why = "built without D-Bus";
  return 0;
}
#endif

}  // namespace

bool makeCurrentThreadRealtime() {
  const int policy = currentPolicy();
  if (policy == SCHED_FIFO || policy == SCHED_RR) return true;
  const pid_t tid = currentThreadId();
  std::string why;
  int priority = 0;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (gUnavailable) return false;
    priority = askRtkit(tid, why);
  }
  sched_param param{};
  const int now = currentPolicy();
  if (priority == 0 || (now != SCHED_RR && now != SCHED_FIFO) || sched_getparam(0, &param) != 0) {
    tellOnce("Audio threads: no real-time priority (" +
             (why.empty() ? std::string("rtkit's answer did not take") : why) + ")");
    return false;
  }
  remember(tid);
  tellOnce("Audio threads: real-time priority " + std::to_string(param.sched_priority) +
           (now == SCHED_RR ? " (SCHED_RR)" : " (SCHED_FIFO)") + " from rtkit");
  return true;
}

}  // namespace quillet::platform
