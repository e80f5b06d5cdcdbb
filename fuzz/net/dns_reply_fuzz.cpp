// SPDX-License-Identifier: Apache-2.0
// Fuzz target: reading DNS replies with c-ares' parsers; the first byte chooses the record
// type asked for (NAPTR, SRV, AAAA, A), the rest is the reply.
#include <cstdint>
#include <cstdlib>

#include "net/dns_resolver.h"

using namespace quillet::net;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const DnsType type = static_cast<DnsType>(data[0] % 4);
  const DnsAnswer answer = readDnsReply(type, data + 1, size - 1);
  const size_t records = answer.naptr.size() + answer.srv.size() + answer.addresses.size();
  if (records > kMaxDnsRecords) std::abort();
  if (answer.ok() != (records > 0)) std::abort();  // records, or a reason why none
  if (!answer.ok() && answer.ttl != 0) std::abort();
  if (type != DnsType::Naptr && !answer.naptr.empty()) std::abort();
  if (type != DnsType::Srv && !answer.srv.empty()) std::abort();
  return 0;
}
