// SPDX-License-Identifier: Apache-2.0
// PageArbiter: which of the pages on the air plays. A group paging channel belongs to its
// first sender (while all are still alerting, the lower serial takes it); among the pages
// admitted, the highest priority plays, and of equal ones the page that came first.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quillet::media {

enum class PageLevel : uint8_t { Normal, Priority, Emergency };

// Priorities 1..10: 9 is a priority page, 10 an emergency page.
constexpr int32_t kPagePriorityLevel = 9;
constexpr int32_t kPageEmergencyLevel = 10;
PageLevel pageLevelOf(int32_t priority);
const char* pageLevelName(PageLevel level);

struct PageInfo {
  uint64_t id = 0;             // given by the arbiter, new for every page
  std::string group;           // the listen group's label, or "channel N"
  std::string caller;          // the group paging caller id, else the sender's address
  std::string source;          // the sender's address "a.b.c.d"
  uint32_t sourceAddress = 0;  // the same, network order
  uint32_t senderId = 0;       // the RTP SSRC, or the group paging serial
  int32_t priority = 1;        // 1..10
  PageLevel level = PageLevel::Normal;
};

// What tells one sender's stream from another: the listen entry, the sender (address and
// port, or serial) and, for group paging, its channel.
struct PageKey {
  uint32_t listen = 0;
  uint64_t sender = 0;
  uint8_t channel = 0;  // 0: plain RTP
  bool operator==(const PageKey&) const = default;
};

// At most kLines lines in every kWindowMs; the rest are counted (a storm of pages must not
// flood the log).
class LogBudget {
 public:
  static constexpr uint32_t kLines = 5;
  static constexpr uint32_t kWindowMs = 5000;
  bool allow(uint32_t nowMs);
  // Lines held back since the last call.
  uint32_t takeHeldBack();

 private:
  uint32_t windowStart_ = 0;
  uint32_t used_ = 0;
  uint32_t heldBack_ = 0;
  bool started_ = false;
};

class PageArbiter {
 public:
  static constexpr size_t kMostStreams = 16;
  static constexpr uint32_t kSilentEndMs = 1000;  // a sender quiet this long has ended

  // Decides once per page whether it may play at all (do-not-disturb, trusted senders,
  // calls); refused pages are remembered and their packets ignored until they end.
  using Admit = std::function<bool(const PageInfo&)>;
  explicit PageArbiter(Admit admit) : admit_(std::move(admit)) {}

  // A packet of a stream (`info` describes it when it is new). `alerting`: a group paging
  // Alert, no audio yet. Answers true when the packet's audio is the one to play now.
  bool packet(const PageKey& key, const PageInfo& info, bool alerting, uint32_t nowMs);
  // The sender said it ended (group paging End): the page ends `drainMs` later (the audio it
  // sent still plays); its later packets are ignored.
  void end(const PageKey& key, uint32_t nowMs, uint32_t drainMs);
  void end(const PageKey& key);
  // Ends streams silent for kSilentEndMs.
  void expire(uint32_t nowMs);
  // Stops listening to a page until it ends.
  void mute(uint64_t id);
  // The page that plays now.
  std::optional<PageInfo> current() const;
  // Counts of packets ignored: refused pages, a channel held by another sender, no room.
  uint32_t ignored() const { return ignored_; }

 private:
  struct Stream {
    PageKey key;
    PageInfo info;
    uint32_t lastMs = 0;
    uint64_t order = 0;
    bool admitted = false;
    bool alerting = true;
    bool muted = false;
    bool ending = false;
  };
  Stream* find(const PageKey& key);
  // The holder of the key's group paging channel other than the key's sender.
  Stream* channelHolder(const PageKey& key);
  void choose();

  Admit admit_;
  std::vector<Stream> streams_;
  uint64_t nextId_ = 1;
  uint64_t nextOrder_ = 0;
  std::optional<size_t> current_;
  uint32_t ignored_ = 0;
};

}  // namespace quillet::media
