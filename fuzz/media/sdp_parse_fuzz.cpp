// SPDX-License-Identifier: Apache-2.0
// Fuzz target: a peer's SDP body through reading and the whole negotiation.
#include <cstddef>
#include <cstdint>
#include <string>

#include "media/sdp_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body(reinterpret_cast<const char*>(data), size);
  quillet::media::RemoteSdp sdp = quillet::media::RemoteSdp::parse(body);
  sdp.lookup("telephone-event", 101);
  quillet::media::SdpSession session;
  // No name lookups while fuzzing: only the text decides.
  session.setPrivateAddressTest([](const std::string& host) { return host.size() % 2 == 0; });
  quillet::media::SdpSettings settings{size % 2 == 0 ? 50 : 49, (size & 2) != 0};
  settings.sdes = (size & 4) != 0;
  settings.encryptionRequired = (size & 8) != 0;
  if ((size & 32) != 0) {
    settings.codecs = {quillet::codecs::CodecId::kG722, quillet::codecs::CodecId::kPcma};
  }
  session.setSettings(settings);
  session.prepare("203.0.113.5", 9000, "192.168.1.23", 8000);
  std::string answer;
  const auto wanted = (size & 16) != 0 ? quillet::media::MediaDirection::SendOnly
                                       : quillet::media::MediaDirection::SendRecv;
  if (session.takeOffer(body, wanted, answer)) {
    // A successful answer always has a voice codec, and its direction follows the offer's.
    if (session.chosenPayloadType() == quillet::media::kNoPayloadType ||
        session.direction() != quillet::media::answerDirection(sdp.direction, wanted)) {
      __builtin_trap();
    }
  }
  session.takeAnswer(body);
  return 0;
}
