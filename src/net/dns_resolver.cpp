// SPDX-License-Identifier: Apache-2.0
// c-ares behind DnsResolver: the channel, the poll loop on its sockets and the stop event,
// and the reading of replies with c-ares' own parsers.
#include "net/dns_resolver.h"

#include <ares.h>
#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <mutex>

#include "base/log.h"

namespace quillet::net {

namespace {

constexpr size_t kHeaderSize = 12;
constexpr uint32_t kNoTtl = std::numeric_limits<uint32_t>::max();

int aresType(DnsType type) {
  switch (type) {
    case DnsType::Naptr:
      return 35;
    case DnsType::Srv:
      return 33;
    case DnsType::Aaaa:
      return 28;
    case DnsType::A:
      break;
  }
  return 1;
}

uint16_t read16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t read32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void write16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}

// The length of the (possibly compressed) name at `at`, measured by c-ares; 0 when bad.
size_t nameLength(const std::vector<uint8_t>& reply, size_t at) {
  char* name = nullptr;
  long length = 0;
  if (ares_expand_name(reply.data() + at, reply.data(), static_cast<int>(reply.size()), &name,
                       &length) != ARES_SUCCESS) {
    return 0;
  }
  ares_free_string(name);
  return length > 0 ? static_cast<size_t>(length) : 0;
}

// The smallest time to live among the answer records of `type` (c-ares' NAPTR and SRV
// readers drop it). Walks the record headers only; the data is c-ares' to read.
uint32_t smallestTtl(const std::vector<uint8_t>& reply, int type) {
  const size_t questions = read16(reply.data() + 4);
  const size_t answers = read16(reply.data() + 6);
  size_t at = kHeaderSize;
  for (size_t i = 0; i < questions; ++i) {
    const size_t length = nameLength(reply, at);
    if (length == 0 || at + length + 4 > reply.size()) return kNoTtl;
    at += length + 4;
  }
  uint32_t ttl = kNoTtl;
  for (size_t i = 0; i < answers; ++i) {
    const size_t length = nameLength(reply, at);
    if (length == 0 || at + length + 10 > reply.size()) break;
    const uint8_t* fields = reply.data() + at + length;
    if (read16(fields) == type) ttl = std::min(ttl, read32(fields + 4));
    at += length + 10 + read16(fields + 8);
  }
  return ttl;
}

void readNaptr(const std::vector<uint8_t>& reply, DnsAnswer& answer) {
  ares_naptr_reply* list = nullptr;
  const int status = ares_parse_naptr_reply(reply.data(), static_cast<int>(reply.size()), &list);
  if (status != ARES_SUCCESS) {
    answer.error = dnsErrorText(status);
    return;
  }
  for (const ares_naptr_reply* r = list; r != nullptr; r = r->next) {
    answer.naptr.push_back({r->order, r->preference, reinterpret_cast<const char*>(r->flags),
                            reinterpret_cast<const char*>(r->service),
                            reinterpret_cast<const char*>(r->regexp), r->replacement});
  }
  ares_free_data(list);
}

void readSrv(const std::vector<uint8_t>& reply, DnsAnswer& answer) {
  ares_srv_reply* list = nullptr;
  const int status = ares_parse_srv_reply(reply.data(), static_cast<int>(reply.size()), &list);
  if (status != ARES_SUCCESS) {
    answer.error = dnsErrorText(status);
    return;
  }
  for (const ares_srv_reply* r = list; r != nullptr; r = r->next) {
    answer.srv.push_back({r->priority, r->weight, r->port, r->host});
  }
  ares_free_data(list);
}

// A and AAAA answers alike: c-ares reads the records with their TTLs, `addressOf` gives
// each record's address of `family`.
template <typename Record, typename Parse, typename AddressOf>
void readAddresses(const std::vector<uint8_t>& reply, DnsAnswer& answer, int family, Parse parse,
                   AddressOf addressOf) {
  Record found[kMaxDnsRecords];
  int count = static_cast<int>(kMaxDnsRecords);
  const int status = parse(reply.data(), static_cast<int>(reply.size()), nullptr, found, &count);
  if (status != ARES_SUCCESS) {
    answer.error = dnsErrorText(status);
    return;
  }
  for (int i = 0; i < count; ++i) {
    char text[INET6_ADDRSTRLEN] = {};
    if (inet_ntop(family, addressOf(found[i]), text, sizeof text) == nullptr) continue;
    answer.addresses.emplace_back(text);
    answer.ttl = std::min(answer.ttl, static_cast<uint32_t>(std::max(found[i].ttl, 0)));
  }
}

void readA(const std::vector<uint8_t>& reply, DnsAnswer& answer) {
  readAddresses<ares_addrttl>(reply, answer, AF_INET, ares_parse_a_reply,
                              [](const ares_addrttl& r) { return &r.ipaddr; });
}

void readAaaa(const std::vector<uint8_t>& reply, DnsAnswer& answer) {
  readAddresses<ares_addr6ttl>(reply, answer, AF_INET6, ares_parse_aaaa_reply,
                               [](const ares_addr6ttl& r) { return &r.ip6addr; });
}

void libraryInit() {
  static std::once_flag once;
  std::call_once(once, [] { ares_library_init(ARES_LIB_INIT_ALL); });
}

}  // namespace

std::string_view dnsTypeName(DnsType type) {
  switch (type) {
    case DnsType::Naptr:
      return "NAPTR";
    case DnsType::Srv:
      return "SRV";
    case DnsType::Aaaa:
      return "AAAA";
    case DnsType::A:
      break;
  }
  return "A";
}

std::string dnsErrorText(int aresStatus) {
  switch (aresStatus) {
    case ARES_SUCCESS:
      return {};
    case ARES_ENOTFOUND:
      return "NXDOMAIN";
    case ARES_ENODATA:
      return "no records";
    case ARES_ETIMEOUT:
      return "timeout";
    case ARES_EREFUSED:
      return "refused";
    case ARES_ESERVFAIL:
      return "server failure";
    case ARES_ECONNREFUSED:
      return "connection refused";
    case ARES_ENOTIMP:
      return "not implemented by the server";
    case ARES_EFORMERR:
      return "format error";
    case ARES_EBADRESP:
      return "bad reply";
    case ARES_EBADNAME:
      return "bad name";
    case ARES_ECANCELLED:
    case ARES_EDESTRUCTION:
      return "cancelled";
    case ARES_ENOMEM:
      return "out of memory";
    default:
      break;
  }
  return ares_strerror(aresStatus);
}

DnsAnswer readDnsReply(DnsType type, const uint8_t* data, size_t size) {
  DnsAnswer answer;
  if (data == nullptr || size < kHeaderSize || size > 65535) {
    answer.error = "bad reply";
    return answer;
  }
  // A copy whose header counts at most kMaxDnsRecords answers and no other records, so that
  // the parsers' work stays bounded whatever the reply holds.
  std::vector<uint8_t> reply(data, data + size);
  switch (reply[3] & 0x0f) {
    case 0:
      break;
    case 2:
      answer.error = "server failure";
      return answer;
    case 3:
      answer.error = "NXDOMAIN";
      return answer;
    case 5:
      answer.error = "refused";
      return answer;
    default:
      answer.error = "bad reply";
      return answer;
  }
  answer.recordsHeld = read16(reply.data() + 6);
  write16(reply.data() + 6, static_cast<uint16_t>(std::min(answer.recordsHeld, kMaxDnsRecords)));
  write16(reply.data() + 8, 0);
  write16(reply.data() + 10, 0);
  answer.ttl = kNoTtl;
  switch (type) {
    case DnsType::Naptr:
      readNaptr(reply, answer);
      break;
    case DnsType::Srv:
      readSrv(reply, answer);
      break;
    case DnsType::Aaaa:
      readAaaa(reply, answer);
      break;
    case DnsType::A:
      readA(reply, answer);
      break;
  }
  if (type == DnsType::Naptr || type == DnsType::Srv) {
    answer.ttl = smallestTtl(reply, aresType(type));
  }
  if (answer.ok() && answer.naptr.empty() && answer.srv.empty() && answer.addresses.empty()) {
    answer.error = "no records";
  }
  if (!answer.ok() || answer.ttl == kNoTtl) answer.ttl = 0;
  return answer;
}

struct DnsResolver::Channel {
  ares_channel channel = nullptr;
  ~Channel() {
    if (channel != nullptr) ares_destroy(channel);
  }
};

DnsResolver::DnsResolver(const std::string& servers) : channel_(std::make_unique<Channel>()) {
  libraryInit();
  ares_options options = {};
  options.timeout = 1500;  // ms per try (ARES_OPT_TIMEOUTMS)
  options.tries = 2;
  options.flags = ARES_FLAG_NOSEARCH;
  int status = ares_init_options(&channel_->channel, &options,
                                 ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_FLAGS);
  if (status == ARES_SUCCESS && !servers.empty()) {
    status = ares_set_servers_ports_csv(channel_->channel, servers.c_str());
  }
  if (status != ARES_SUCCESS) initError_ = std::string("DNS setup: ") + ares_strerror(status);
}

DnsResolver::~DnsResolver() = default;

namespace {

struct Pending {
  DnsQuestion question;
  DnsAnswer answer;
  bool done = false;
};

void onReply(void* arg, int status, int /*timeouts*/, unsigned char* data, int size) {
  auto* pending = static_cast<Pending*>(arg);
  pending->done = true;
  if (status != ARES_SUCCESS) {
    pending->answer.error = dnsErrorText(status);
    return;
  }
  pending->answer =
      readDnsReply(pending->question.type, data, data != nullptr ? static_cast<size_t>(size) : 0);
  if (pending->answer.recordsHeld > kMaxDnsRecords) {
    base::logFormat(base::LogLevel::Info, "DNS: %s %s answered %zu records; the first %zu used",
                    std::string(dnsTypeName(pending->question.type)).c_str(),
                    pending->question.name.c_str(), pending->answer.recordsHeld, kMaxDnsRecords);
  }
}

bool allDone(const std::vector<Pending>& pending) {
  return std::all_of(pending.begin(), pending.end(), [](const Pending& p) { return p.done; });
}

// Cancels the queries still open; they end with `reason` (not c-ares' "cancelled").
void abandon(ares_channel channel, std::vector<Pending>& pending, const char* reason) {
  std::vector<bool> open;
  for (const Pending& p : pending) open.push_back(!p.done);
  ares_cancel(channel);
  for (size_t i = 0; i < pending.size(); ++i) {
    if (!open[i]) continue;
    pending[i].done = true;
    pending[i].answer = DnsAnswer{};
    pending[i].answer.error = reason;
  }
}

// The c-ares sockets and what they wait for, and the stop event last (when given).
std::vector<pollfd> pollSet(ares_channel channel, platform::Event* stop) {
  ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
  const int bits = ares_getsock(channel, sockets, ARES_GETSOCK_MAXNUM);
  std::vector<pollfd> fds;
  for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
    short events = 0;
    if (ARES_GETSOCK_READABLE(bits, i)) events |= POLLIN;
    if (ARES_GETSOCK_WRITABLE(bits, i)) events |= POLLOUT;
    if (events != 0) fds.push_back({sockets[i], events, 0});
  }
  if (stop != nullptr) fds.push_back({stop->fd(), POLLIN, 0});
  return fds;
}

// Waits (at most `leftMs`, or until c-ares' next time-out) for the sockets or the stop event,
// then lets c-ares read, write or count its time-outs. False when poll fails.
bool pump(ares_channel channel, platform::Event* stop, int64_t leftMs) {
  timeval most = {static_cast<time_t>(leftMs / 1000),
                  static_cast<suseconds_t>(leftMs % 1000) * 1000};
  timeval wait = {};
  ares_timeout(channel, &most, &wait);
  std::vector<pollfd> fds = pollSet(channel, stop);
  const int waitMs = static_cast<int>(wait.tv_sec * 1000 + (wait.tv_usec + 999) / 1000);
  const int ready = ::poll(fds.data(), fds.size(), waitMs);
  if (ready < 0) return errno == EINTR;
  const size_t socketCount = fds.size() - (stop != nullptr ? 1 : 0);
  bool any = false;
  for (size_t i = 0; i < socketCount && ready > 0; ++i) {
    const bool readable = (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
    const bool writable = (fds[i].revents & POLLOUT) != 0;
    if (!readable && !writable) continue;
    any = true;
    ares_process_fd(channel, readable ? fds[i].fd : ARES_SOCKET_BAD,
                    writable ? fds[i].fd : ARES_SOCKET_BAD);
  }
  if (!any) ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // the time-outs
  return true;
}

}  // namespace

std::vector<DnsAnswer> DnsResolver::query(std::span<const DnsQuestion> questions,
                                          platform::Event* stop, int32_t timeoutMs) {
  std::vector<Pending> pending(questions.size());
  for (size_t i = 0; i < questions.size(); ++i) {
    Pending& p = pending[i];
    p.question = questions[i];
    if (!initError_.empty()) {
      p.answer.error = initError_;
      p.done = true;
      continue;
    }
    ares_query(channel_->channel, p.question.name.c_str(), 1 /* IN */, aresType(p.question.type),
               onReply, &p);
  }
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!allDone(pending)) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const char* failure = nullptr;
    if (stop != nullptr && stop->isSet()) {
      failure = "cancelled";
    } else if (left <= 0) {
      failure = "timeout";
    } else if (!pump(channel_->channel, stop, left)) {
      failure = "poll failed";
    }
    if (failure != nullptr) {
      abandon(channel_->channel, pending, failure);
      break;
    }
  }
  std::vector<DnsAnswer> answers;
  answers.reserve(pending.size());
  for (Pending& p : pending) answers.push_back(std::move(p.answer));
  return answers;
}

}  // namespace quillet::net
