// SPDX-License-Identifier: Apache-2.0
// Benchmarks of parsing and building typical SIP messages, URIs and digests.
#include <benchmark/benchmark.h>

#include <string>

#include "sip/digest.h"
#include "sip/sip_message.h"
#include "sip/sip_templates.h"
#include "sip/sip_uri.h"

using namespace quillet::sip;

namespace {

const std::string kSdp =
    "v=0\r\no=- 1733480100 1733480100 IN IP4 192.0.2.33\r\ns=-\r\nc=IN IP4 192.0.2.33\r\n"
    "t=0 0\r\nm=audio 40000 RTP/AVP 0 8 3 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:8 PCMA/8000\r\n"
    "a=rtpmap:3 GSM/8000\r\na=rtpmap:101 telephone-event/8000\r\na=fmtp:101 0-15\r\n"
    "a=sendrecv\r\n";

// An INVITE as it arrives through a proxy: two Vias, a Record-Route list, SDP.
const std::string kInvite =
    "INVITE sip:alice@203.0.113.7:5070 SIP/2.0\r\n"
    "Record-Route: <sip:198.51.100.1;lr;ftag=as6e8f>\r\n"
    "Record-Route: <sip:10.10.0.1;lr;r2=on;ftag=as6e8f>, "
    "<sip:198.51.100.2;lr;r2=on;ftag=as6e8f>\r\n"
    "Via: SIP/2.0/UDP 198.51.100.1;branch=z9hG4bK2c5b.7a1f1d6a0000000000000000000000.0\r\n"
    "Via: SIP/2.0/UDP 192.0.2.33:5060;received=192.0.2.33;rport=5060;branch=z9hG4bKPj9c2b\r\n"
    "Max-Forwards: 69\r\n"
    "From: \"Bob Example\" <sip:bob@sip.example.com>;tag=as6e8f\r\n"
    "To: <sip:alice@sip.example.com>\r\n"
    "Contact: <sip:bob@192.0.2.33:5060;ob>\r\n"
    "Call-ID: 6a1c9e7b-2d3f-4e5a-8b9c-0d1e2f3a4b5c\r\n"
    "CSeq: 20 INVITE\r\n"
    "Allow: INVITE, ACK, CANCEL, BYE, REFER, NOTIFY, OPTIONS, INFO\r\n"
    "User-Agent: Grandstream GXP2160 1.0.11.23\r\n"
    "Content-Type: application/sdp\r\n"
    "Content-Length: " +
    std::to_string(kSdp.size()) + "\r\n\r\n" + kSdp;

const std::string kRegisterOk =
    "SIP/2.0 200 OK\r\n"
    "Via: SIP/2.0/UDP 203.0.113.7:5070;rport=5070;branch=z9hG4bK12346;received=203.0.113.7\r\n"
    "To: <sip:alice@sip.example.com>;tag=b27e1a1d33761e85846fc98f5f3a7e58.9a2f\r\n"
    "From: <sip:alice@sip.example.com>;tag=4711\r\n"
    "Call-ID: 1733480000-1234-myhost@203.0.113.7\r\n"
    "CSeq: 3 REGISTER\r\n"
    "Contact: <sip:alice@203.0.113.7:5070>;expires=300;q=0.90, "
    "<sip:alice@198.51.100.44:5060;transport=udp>;expires=3600\r\n"
    "Expires: 3600\r\n"
    "Server: kamailio (5.6.3 (x86_64/linux))\r\n"
    "Content-Length: 0\r\n\r\n";

void BM_ParseInvite(benchmark::State& state) {
  for (auto _ : state) {
    auto message = SipMessage::parse(kInvite);
    benchmark::DoNotOptimize(message);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kInvite.size()));
}
BENCHMARK(BM_ParseInvite);

// A datagram of the largest size: long Via and Record-Route values, as from a long
// chain of proxies.
std::string largeInvite() {
  std::string text = "INVITE sip:alice@203.0.113.7:5070 SIP/2.0\r\n";
  for (int i = 0; text.size() < 30000; ++i) {
    text += "Via: SIP/2.0/UDP proxy" + std::to_string(i) + ".example.net;branch=z9hG4bK" +
            std::string(400, 'v') + "\r\n";
  }
  for (int i = 0; text.size() < 65000; ++i) {
    text += "Record-Route: <sip:rr" + std::to_string(i) +
            ".example.net;lr;ftag=" + std::string(400, 'r') + ">\r\n";
  }
  return text +
         "From: <sip:bob@example.net>;tag=1\r\nTo: <sip:alice@example.net>\r\n"
         "Call-ID: big@example.net\r\nCSeq: 1 INVITE\r\n\r\n";
}

void BM_ParseLargeInvite(benchmark::State& state) {
  const std::string text = largeInvite();
  for (auto _ : state) {
    auto message = SipMessage::parse(text);
    benchmark::DoNotOptimize(message);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseLargeInvite);

// 16000 one-letter headers: refused after kMaxHeaders of them.
void BM_ParseManyTinyHeaders(benchmark::State& state) {
  std::string text = "OPTIONS sip:a@b SIP/2.0\r\n";
  while (text.size() < 64000) text += "a:\r\n";
  for (auto _ : state) {
    auto message = SipMessage::parse(text);
    benchmark::DoNotOptimize(message);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseManyTinyHeaders);

void BM_ParseRegisterOkAndReadContacts(benchmark::State& state) {
  for (auto _ : state) {
    auto message = SipMessage::parse(kRegisterOk);
    int32_t expiry = 0;
    for (const std::string& contact : message->headerElements(hdr::kContact)) {
      NameAddr na = parseNameAddr(contact);
      SipUri uri = parseUri(na.uri);
      expiry += decimalValue(paramValue(na.params, "expires")) + uri.port;
    }
    benchmark::DoNotOptimize(expiry);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRegisterOk.size()));
}
BENCHMARK(BM_ParseRegisterOkAndReadContacts);

void BM_BuildInvite(benchmark::State& state) {
  SipRequest request;
  request.method = "INVITE";
  request.cseq = 101;
  request.branch = "z9hG4bK71234";
  request.requestUri = "sip:bob@192.168.1.40:5060";
  RequestContext context;
  context.localAddress = "192.168.1.20";
  context.localPort = 5070;
  context.to = "<sip:bob@192.168.1.40>";
  context.from = "\"Alice\" <sip:alice@pbx.example>;tag=4711";
  context.callId = "1733480000-1234-host@203.0.113.7";
  context.contactUser = "alice";
  context.route = "<sip:out.example;lr>";
  for (auto _ : state) {
    std::string text = buildInvite(request, context, {}, kAnswerModeHeader, kSdp);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_BuildInvite);

void BM_BuildResponse(benchmark::State& state) {
  SipMessage invite = *SipMessage::parse(kInvite);
  std::string contact = contactValue("alice", "203.0.113.7", 5070);
  ResponseSpec form;
  form.toTag = "9001";
  form.contact = contact;
  form.withAllow = true;
  form.contentType = "application/sdp";
  form.body = kSdp;
  for (auto _ : state) {
    std::string text = buildResponse(invite, form);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_BuildResponse);

void BM_ComputeDigest(benchmark::State& state) {
  const std::string challenge =
      "Digest algorithm=MD5, realm=\"asterisk\", nonce=\"4b9a1f2e\", "
      "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\", stale=TRUE";
  for (auto _ : state) {
    DigestResult result =
        computeDigest(challenge, "INVITE", "sip:200@pbx.example.org", "alice", "secret");
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_ComputeDigest);

void BM_ParseNameAddrAndUri(benchmark::State& state) {
  const std::string text = "\"Bob Example\" <sip:bob:pw@sip.example.com:5070;transport=udp>;tag=77";
  for (auto _ : state) {
    NameAddr na = parseNameAddr(text);
    SipUri uri = parseUri(na.uri);
    benchmark::DoNotOptimize(uri);
  }
}
BENCHMARK(BM_ParseNameAddrAndUri);

}  // namespace
