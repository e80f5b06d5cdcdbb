// SPDX-License-Identifier: Apache-2.0
// PageSender: frames, encodes and sends a page to a multicast group.
#include "media/paging_sender.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "base/log.h"
#include "media/rtp_packet.h"
#include "platform/random.h"

namespace quillet::media {

namespace {

uint8_t groupCodecByte(codecs::CodecId codec) {
  switch (codec) {
    case codecs::CodecId::kPcma:
      return kGroupCodecPcma;
    case codecs::CodecId::kG722:
      return kGroupCodecG722;
    default:
      return kGroupCodecPcmu;
  }
}

}  // namespace

PageSender::PageSender(PageSendOptions options)
    : audio::AudioSink(pageAudioRate(options.codec), 1),
      options_(std::move(options)),
      sequence_(static_cast<uint16_t>(platform::random32())),
      timestamp_(platform::random32()),
      ssrc_(platform::random32()) {
  if (options_.target.grouped && options_.codec == codecs::CodecId::kOpus) {
    base::logError("Paging: group paging cannot carry Opus; page with PCMU, PCMA or G.722");
    return;
  }
  codec_ = createPageCodec(options_.codec);
  if (codec_ == nullptr) {
    base::logError("Paging: no encoder for the page's codec");
    return;
  }
  socket_ = platform::udpSocket();
  if (!socket_) {
    base::logError("Paging: no socket to send with");
    return;
  }
  in_addr interface {};
  interface.s_addr = options_.interfaceAddress;
  const int ttl = options_.ttl;
  const unsigned char loop = 1;  // pages are heard on this host too
  setsockopt(socket_.get(), IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface);
  setsockopt(socket_.get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
  setsockopt(socket_.get(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
}

PageSender::~PageSender() {
  finish();
}

uint32_t PageSender::frameSamples() const {
  const uint32_t frameMs = options_.target.grouped ? kGroupFrameMs : 20;
  return rate() * frameMs / 1000;
}

void PageSender::Write(const int32_t* samples, uint32_t frames) {
  if (finished_ || !ready()) return;
  if (options_.target.grouped && !alerted_) {
    alerted_ = true;
    for (int i = 0; i < kGroupAlertPackets; ++i) {
      sendGrouped(GroupPageOp::Alert, nullptr, 0);
      if (options_.pacedAlerts)
        std::this_thread::sleep_for(std::chrono::milliseconds(kGroupFrameMs));
    }
  }
  position_ += frames;
  pending_.insert(pending_.end(), samples, samples + frames);
  const size_t frame = frameSamples();
  size_t used = 0;
  while (pending_.size() - used >= frame) {
    sendFrame(pending_.data() + used);
    used += frame;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
}

void PageSender::finish() {
  if (finished_ || !ready()) return;
  if (!pending_.empty()) {
    pending_.resize(frameSamples(), 0);
    sendFrame(pending_.data());
    pending_.clear();
  }
  finished_ = true;
  if (options_.target.grouped) {
    // Sent back to back: the page's end must not wait for the sender's pacing.
    for (int i = 0; i < kGroupEndPackets; ++i) sendGrouped(GroupPageOp::End, nullptr, 0);
  }
}

void PageSender::sendFrame(const int32_t* samples) {
  const int count = static_cast<int>(frameSamples());
  std::vector<uint8_t> encoded(static_cast<size_t>(codec_->maxEncodedBytes(count)));
  const int size = codec_->encode(samples, count, encoded.data());
  if (size <= 0) return;
  encoded.resize(static_cast<size_t>(size));
  if (options_.target.grouped) {
    sendGrouped(GroupPageOp::Transmit, encoded.data(), encoded.size());
    previous_ = std::move(encoded);
  } else {
    sendPlain(encoded.data(), encoded.size());
  }
}

void PageSender::sendPlain(const uint8_t* payload, size_t size) {
  std::vector<uint8_t> datagram(kRtpHeaderSize + size);
  const codecs::CodecInfo& info = codecs::codecInfo(options_.codec);
  const int payloadType = plainPagePayloadType(options_.codec, options_.opusPayloadType);
  writeRtpHeader(datagram.data(), packets_ == 0, static_cast<uint8_t>(payloadType), sequence_,
                 timestamp_, ssrc_);
  std::memcpy(datagram.data() + kRtpHeaderSize, payload, size);
  send(datagram);
  ++sequence_;
  timestamp_ += static_cast<uint32_t>(info.rtpClockRate / 50);
}

void PageSender::sendGrouped(GroupPageOp op, const uint8_t* payload, size_t size) {
  GroupPagePacket packet;
  packet.op = op;
  packet.channel = options_.target.channel;
  packet.serial = options_.serial;
  packet.callerId = options_.callerId;
  if (op == GroupPageOp::Transmit) {
    packet.codec = groupCodecByte(options_.codec);
    packet.sampleCount = sampleCount_;
    packet.redundant = previous_;
    packet.audio.assign(payload, payload + size);
    sampleCount_ += static_cast<uint32_t>(kGroupFrameBytes);  // 30 ms in 8000 Hz units
  }
  send(writeGroupPagePacket(packet));
}

void PageSender::send(const std::vector<uint8_t>& datagram) {
  if (platform::sendTo(socket_.get(), datagram.data(), datagram.size(),
                       platform::Endpoint{options_.target.address, options_.target.port}) > 0) {
    ++packets_;
  }
}

}  // namespace quillet::media
