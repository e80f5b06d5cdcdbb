// SPDX-License-Identifier: Apache-2.0
// PageSender: an audio sink that sends what is written to it as a multicast page, plain RTP
// (20 ms frames) or the group paging format (Alert packets first, 30 ms Transmit packets
// with the frame before as redundancy, End packets when it is done).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio/audio_stream.h"
#include "codecs/audio_codec.h"
#include "media/paging_codec.h"
#include "media/paging_packet.h"
#include "platform/socket.h"

namespace quillet::media {

struct PageSendOptions {
  PageTarget target;
  codecs::CodecId codec = codecs::CodecId::kPcmu;  // PCMU, PCMA, G.722; Opus plain RTP only
  int opusPayloadType = kPageOpusPayloadType;      // plain RTP in Opus
  std::string callerId;                            // group paging only
  uint32_t serial = 0;                             // group paging only
  uint32_t interfaceAddress = 0;                   // 0: the system's choice
  int ttl = 1;
  bool pacedAlerts = true;  // the Alert packets 30 ms apart (false: back to back, tests)
};

class PageSender : public audio::AudioSink {
 public:
  // The sink's rate is the page's (pageAudioRate), mono. Opus to a group paging channel
  // is refused (the format has no code for it): the sender is then not ready.
  explicit PageSender(PageSendOptions options);
  ~PageSender() override;

  // False when the socket could not be made (the sink then drops what it is given).
  bool ready() const { return socket_.valid(); }
  void Write(const int32_t* samples, uint32_t frames) override;
  // Sends what is left of the last frame (padded with silence) and, for group paging, the
  // End packets. The destructor does it when nobody did.
  void finish();
  uint32_t packetsSent() const { return packets_; }
  uint32_t ssrc() const { return ssrc_; }
  // The samples of one packet's frame at the sink's rate.
  uint32_t frameSamples() const;

 private:
  void sendFrame(const int32_t* samples);
  void sendPlain(const uint8_t* payload, size_t size);
  void sendGrouped(GroupPageOp op, const uint8_t* payload, size_t size);
  void send(const std::vector<uint8_t>& datagram);

  PageSendOptions options_;
  platform::UniqueFd socket_;
  std::unique_ptr<codecs::AudioCodec> codec_;
  std::vector<int32_t> pending_;
  std::vector<uint8_t> previous_;  // the last frame sent (group paging redundancy)
  bool alerted_ = false;
  bool finished_ = false;
  uint16_t sequence_;
  uint32_t timestamp_;
  uint32_t ssrc_;
  uint32_t sampleCount_ = 0;
  uint32_t packets_ = 0;
};

}  // namespace quillet::media
