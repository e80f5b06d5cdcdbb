// SPDX-License-Identifier: Apache-2.0
// Benchmarks of the SIP engine's receive path.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <string>

#include "sip/response_cache.h"
#include "sip/sip_transport.h"

namespace {

using namespace quillet::sip;

MessageIdentity identity(int i) {
  MessageIdentity id;
  id.callId = "call-" + std::to_string(i) + "@198.51.100.7";
  id.cseq = "1 INVITE";
  id.topVia = "SIP/2.0/UDP 198.51.100.7:5060;branch=z9hG4bK" + std::to_string(i);
  id.to = "<sip:alice@example.net>";
  id.from = "<sip:bob@example.net>;tag=" + std::to_string(i);
  return id;
}

// A lookup in a full cache (the state during a flood): a miss and a hit.
void BM_ResponseCacheLookupFull(benchmark::State& state) {
  ResponseCache cache;
  const quillet::platform::SocketAddress to;
  for (int i = 0; i < static_cast<int>(ResponseCache::kMaxRecords); ++i) {
    cache.store(identity(i), std::string(400, 'x'), udpTarget(to), 0);
  }
  const MessageIdentity miss = identity(-1);
  const MessageIdentity hit = identity(100);
  for (auto _ : state) {
    benchmark::DoNotOptimize(cache.match(miss, 10).matched);
    benchmark::DoNotOptimize(cache.match(hit, 10).matched);
  }
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_ResponseCacheLookupFull);

// Storing into a full cache (each store drops the oldest record).
void BM_ResponseCacheStoreFull(benchmark::State& state) {
  ResponseCache cache;
  const quillet::platform::SocketAddress to;
  int i = 0;
  for (auto _ : state) cache.store(identity(i++), std::string(400, 'x'), udpTarget(to), 0);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ResponseCacheStoreFull);

// One out-of-dialog OPTIONS through the transport: parse, no call, cache miss, answer 404
// (no line), cache store. Each request is new (its own Call-ID).
void BM_TransportHandlesOptions(benchmark::State& state) {
  SipTransport transport;
  transport.setPrivateAddressSource([] { return std::string("127.0.0.1"); });
  const auto from = quillet::platform::SocketAddress::ipv4(htonl(0x7f000001), 5060);
  int i = 0;
  for (auto _ : state) {
    const std::string datagram =
        "OPTIONS sip:alice@127.0.0.1:5070 SIP/2.0\r\n"
        "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK" +
        std::to_string(i) +
        "\r\nFrom: <sip:bob@127.0.0.1>;tag=1\r\nTo: <sip:alice@127.0.0.1>\r\n"
        "Call-ID: bench-" +
        std::to_string(i) +
        "\r\nCSeq: 1 OPTIONS\r\nMax-Forwards: 70\r\n"
        "Content-Length: 0\r\n\r\n";
    transport.injectDatagram(datagram, from);
    ++i;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TransportHandlesOptions);

}  // namespace
