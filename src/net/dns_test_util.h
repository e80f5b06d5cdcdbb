// SPDX-License-Identifier: Apache-2.0
// Test helper: DNS replies put together byte by byte (the answers' owner name points at the
// question), for the reader's and the resolver's tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::net::test {

inline void put16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

inline void put32(std::vector<uint8_t>& out, uint32_t value) {
  put16(out, static_cast<uint16_t>(value >> 16));
  put16(out, static_cast<uint16_t>(value));
}

inline void putName(std::vector<uint8_t>& out, std::string_view name) {
  while (!name.empty()) {
    const size_t dot = name.find('.');
    const std::string_view label = name.substr(0, dot);
    out.push_back(static_cast<uint8_t>(label.size()));
    out.insert(out.end(), label.begin(), label.end());
    name = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
  }
  out.push_back(0);
}

inline void putText(std::vector<uint8_t>& out, std::string_view text) {
  out.push_back(static_cast<uint8_t>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
}

struct Record {
  uint16_t type;
  uint32_t ttl;
  std::vector<uint8_t> data;
};

inline Record aRecord(uint32_t ttl, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return {1, ttl, {a, b, c, d}};
}

inline Record aaaaRecord(uint32_t ttl, uint8_t last) {
  std::vector<uint8_t> data{0x20, 0x01, 0x0d, 0xb8};
  data.resize(15, 0);
  data.push_back(last);
  return {28, ttl, data};
}

inline Record srvRecord(uint32_t ttl, uint16_t priority, uint16_t weight, uint16_t port,
                        std::string_view target) {
  Record r{33, ttl, {}};
  put16(r.data, priority);
  put16(r.data, weight);
  put16(r.data, port);
  putName(r.data, target);
  return r;
}

inline Record naptrRecord(uint32_t ttl, uint16_t order, uint16_t preference, std::string_view flags,
                          std::string_view service, std::string_view replacement) {
  Record r{35, ttl, {}};
  put16(r.data, order);
  put16(r.data, preference);
  putText(r.data, flags);
  putText(r.data, service);
  putText(r.data, "");
  putName(r.data, replacement);
  return r;
}

// A reply to (name, type) with the records as answers; rcode 3 is NXDOMAIN.
inline std::vector<uint8_t> dnsReply(uint16_t id, std::string_view name, uint16_t type,
                                     const std::vector<Record>& answers, uint8_t rcode = 0) {
  std::vector<uint8_t> out;
  put16(out, id);
  put16(out, static_cast<uint16_t>(0x8180 | rcode));  // response, recursion desired/available
  put16(out, 1);
  put16(out, static_cast<uint16_t>(answers.size()));
  put16(out, 0);
  put16(out, 0);
  putName(out, name);
  put16(out, type);
  put16(out, 1);
  for (const Record& r : answers) {
    put16(out, 0xc00c);
    put16(out, r.type);
    put16(out, 1);
    put32(out, r.ttl);
    put16(out, static_cast<uint16_t>(r.data.size()));
    out.insert(out.end(), r.data.begin(), r.data.end());
  }
  return out;
}

}  // namespace quillet::net::test
