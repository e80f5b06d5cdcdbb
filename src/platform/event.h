// SPDX-License-Identifier: Apache-2.0
// Events (manual or auto reset) backed by eventfd, so that a thread can wait for several
// events and sockets together with one poll.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>

namespace quillet::platform {

constexpr int32_t kInfinite = -1;  // time-out meaning "wait without limit"
constexpr int kWaitTimedOut = -1;  // answer of the wait functions on time-out
constexpr int kWaitFailed = -2;    // answer of the wait functions when poll failed

class Event {
 public:
  enum class Reset { Manual, Auto };

  explicit Event(Reset mode = Reset::Manual, bool initiallySet = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Signals the event; an auto-reset event stays set until one waiter takes it.
  void set();
  // Clears the event.
  void reset();
  // Waits until the event is set or the time-out (ms, kInfinite) passes. Answers true when
  // set; an auto-reset event is cleared by the waiter that sees it.
  bool wait(int32_t timeoutMs = kInfinite);
  // Zero-time test (takes an auto-reset event, like a zero wait).
  bool isSet() { return wait(0); }

  // The descriptor to include in a poll (readable while set). After poll reports it
  // readable, call tryTake(): for an auto-reset event another waiter may have taken it.
  int fd() const { return fd_; }
  bool tryTake();
  Reset mode() const { return mode_; }
  bool valid() const { return fd_ >= 0; }
  // Makes the descriptor when it could not be made before (descriptors had run out).
  // True when the event is usable. Not while other threads use the event.
  bool open();

 private:
  int fd_ = -1;
  Reset mode_;
};

// Waits until one of the events is set. Answers the index of the signalled event (the
// lowest when several are set; an auto-reset event is taken), kWaitTimedOut or kWaitFailed.
int waitAny(std::span<Event* const> events, int32_t timeoutMs);
inline int waitAny(std::initializer_list<Event*> events, int32_t timeoutMs) {
  return waitAny(std::span<Event* const>(events.begin(), events.size()), timeoutMs);
}

// Waits until one of the events is set or one of the descriptors is readable. Answers an
// index into events (0..n-1) or, for a descriptor, n + its index; events win over
// descriptors and lower indexes over higher ones. kWaitTimedOut or kWaitFailed otherwise.
int waitAnyOrReadable(std::span<Event* const> events, std::span<const int> readFds,
                      int32_t timeoutMs);

// Same with descriptors that must become writable (non-blocking connect, full socket).
int waitAnyOrWritable(std::span<Event* const> events, std::span<const int> writeFds,
                      int32_t timeoutMs);

}  // namespace quillet::platform
