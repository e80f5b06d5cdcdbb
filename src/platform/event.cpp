// SPDX-License-Identifier: Apache-2.0
// Events over eventfd and the combined poll wait.
#include "platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/tick.h"

namespace quillet::platform {

Event::Event(Reset mode, bool initiallySet) : mode_(mode) {
  fd_ = eventfd(initiallySet ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
}

bool Event::open() {
  if (fd_ < 0) {
    fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  }
  return fd_ >= 0;
}

Event::~Event() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

void Event::set() {
  uint64_t one = 1;
  // Several sets before a wait leave the counter above one; reset/take drain it whole.
  while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void Event::reset() {
  uint64_t value = 0;
  while (::read(fd_, &value, sizeof value) < 0 && errno == EINTR) {
  }
}

bool Event::tryTake() {
  if (mode_ == Reset::Auto) {
    uint64_t value = 0;
    for (;;) {
      ssize_t n = ::read(fd_, &value, sizeof value);
      if (n == static_cast<ssize_t>(sizeof value)) {
        return true;
      }
      if (n < 0 && errno == EINTR) {
        continue;
      }
      return false;
    }
  }
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

bool Event::wait(int32_t timeoutMs) {
  Event* self = this;
  return waitAny(std::span<Event* const>(&self, 1), timeoutMs) == 0;
}

namespace {

int waitCombined(std::span<Event* const> events, std::span<const int> fds, short fdEvents,
                 int32_t timeoutMs) {
  std::vector<pollfd> polls;
  polls.reserve(events.size() + fds.size());
  for (Event* event : events) {
    polls.push_back(pollfd{event->fd(), POLLIN, 0});
  }
  for (int fd : fds) {
    polls.push_back(pollfd{fd, fdEvents, 0});
  }
  const uint32_t start = tickMs();
  for (;;) {
    int wait = -1;
    if (timeoutMs >= 0) {
      int32_t elapsed = tickDiff(tickMs(), start);
      wait = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
    }
    int n = ::poll(polls.data(), polls.size(), wait);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return kWaitFailed;
    }
    if (n == 0) {
      return kWaitTimedOut;
    }
    for (size_t i = 0; i < events.size(); ++i) {
      if ((polls[i].revents & POLLIN) != 0 && events[i]->tryTake()) {
        return static_cast<int>(i);
      }
    }
    for (size_t i = 0; i < fds.size(); ++i) {
      // Errors and hang-ups count as ready: the caller's read or write reports them.
      if ((polls[events.size() + i].revents & (fdEvents | POLLERR | POLLHUP | POLLNVAL)) != 0) {
        return static_cast<int>(events.size() + i);
      }
    }
    // An auto-reset event was taken by another waiter: wait on with the time left.
    if (timeoutMs == 0) {
      return kWaitTimedOut;
    }
  }
}

}  // namespace

int waitAny(std::span<Event* const> events, int32_t timeoutMs) {
  return waitCombined(events, {}, POLLIN, timeoutMs);
}

int waitAnyOrReadable(std::span<Event* const> events, std::span<const int> readFds,
                      int32_t timeoutMs) {
  return waitCombined(events, readFds, POLLIN, timeoutMs);
}

int waitAnyOrWritable(std::span<Event* const> events, std::span<const int> writeFds,
                      int32_t timeoutMs) {
  return waitCombined(events, writeFds, POLLOUT, timeoutMs);
}

}  // namespace quillet::platform
