// SPDX-License-Identifier: Apache-2.0
// PagingReceiver: multicast sockets, packets to pages, pages to a pipe.
#include "media/paging_receiver.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/log.h"
#include "media/rtp_packet.h"
#include "platform/tick.h"

namespace quillet::media {

namespace {

constexpr size_t kDatagramBytes = 1500;
constexpr int kMostPerWake = 64;  // datagrams read from one socket before the others get a turn
constexpr int32_t kWaitMs = 200;

std::optional<codecs::CodecId> groupCodec(uint8_t codec) {
  switch (codec) {
    case kGroupCodecPcmu:
      return codecs::CodecId::kPcmu;
    case kGroupCodecPcma:
      return codecs::CodecId::kPcma;
    case kGroupCodecG722:
      return codecs::CodecId::kG722;
    default:
      return std::nullopt;
  }
}

}  // namespace

bool joinMulticast(platform::UniqueFd& socket, uint32_t group, uint16_t port,
                   uint32_t interfaceAddress) {
  socket = platform::udpSocket();
  if (!socket) return false;
  const int on = 1;
  setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // Bound to the group itself, the socket hears this group only, not others on the port.
  const sockaddr_in local = platform::Endpoint{group, port}.toSockaddr();
  ip_mreq request{};
  request.imr_multiaddr.s_addr = group;
  request.imr_interface.s_addr = interfaceAddress;
  if (bind(socket.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      setsockopt(socket.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0) {
    const int error = errno;
    socket.reset();
    errno = error;
    return false;
  }
  return true;
}

int32_t PagingReceiver::channelPriority(const PageListen& listen, uint8_t channel) {
  if (channel == kGroupChannelEmergency) return kPageEmergencyLevel;
  if (channel == kGroupChannelPriority) return kPagePriorityLevel;
  return listen.priority;
}

PagingReceiver::PagingReceiver(std::vector<PageListen> listens, uint32_t interfaceAddress,
                               PageArbiter::Admit admit,
                               std::function<void(const PageChange&)> changed)
    : listens_(std::move(listens)),
      interface_(interfaceAddress),
      changed_(std::move(changed)),
      arbiter_(std::move(admit)) {}

PagingReceiver::~PagingReceiver() {
  Stop();
}

bool PagingReceiver::open() {
  sockets_.clear();
  for (size_t i = 0; i < listens_.size(); ++i) {
    const PageTarget& target = listens_[i].target;
    Socket socket;
    socket.listen = i;
    const std::string where = platform::Endpoint{target.address, target.port}.toString();
    if (!joinMulticast(socket.fd, target.address, target.port, interface_)) {
      base::logError("Paging: cannot listen to " + where + ": ", std::strerror(errno));
      continue;
    }
    base::logInfo("Paging: listening to " + listens_[i].label + " on " + where);
    sockets_.push_back(std::move(socket));
  }
  return !sockets_.empty();
}

void PagingReceiver::mute(uint64_t id) {
  {
    std::lock_guard lock(muteMutex_);
    toMute_.push_back(id);
  }
  wake_.set();
}

void PagingReceiver::Run() {
  std::vector<int> fds;
  for (const Socket& socket : sockets_) fds.push_back(socket.fd.get());
  std::vector<platform::Event*> events = {&stopEvent(), &wake_};
  while (!stopRequested()) {
    const int woke = platform::waitAnyOrReadable(events, fds, kWaitMs);
    if (woke == 0) break;
    const uint32_t now = platform::tickMs();
    if (woke >= 2 && static_cast<size_t>(woke - 2) < sockets_.size()) {
      receive(sockets_[static_cast<size_t>(woke - 2)], now);
    }
    std::vector<uint64_t> mutes;
    {
      std::lock_guard lock(muteMutex_);
      mutes.swap(toMute_);
    }
    for (uint64_t id : mutes) arbiter_.mute(id);
    arbiter_.expire(now);
    follow();
    logDropped(now);
  }
  if (playing_) {
    playing_.reset();
    changed_(PageChange{});
  }
}

void PagingReceiver::receive(const Socket& socket, uint32_t nowMs) {
  uint8_t buffer[kDatagramBytes];
  for (int i = 0; i < kMostPerWake; ++i) {
    platform::Endpoint from;
    const int size = platform::recvFrom(socket.fd.get(), buffer, sizeof buffer, &from);
    if (size < 0) return;
    const PageListen& listen = listens_[socket.listen];
    if (listen.target.grouped) {
      groupPacket(socket.listen, buffer, static_cast<size_t>(size), from, nowMs);
    } else {
      plainPacket(socket.listen, buffer, static_cast<size_t>(size), from, nowMs);
    }
  }
}

void PagingReceiver::plainPacket(size_t listen, const uint8_t* data, size_t size,
                                 const platform::Endpoint& from, uint32_t nowMs) {
  RtpPacketView view;
  if (!readRtpPacket(data, size, view)) {
    dropped("not RTP");
    return;
  }
  const std::optional<codecs::CodecId> codec =
      plainPageCodec(view.header.payloadType, listens_[listen].opusPayloadType);
  if (!codec) {
    dropped("payload type not played");
    return;
  }
  const PageKey key{static_cast<uint32_t>(listen),
                    (uint64_t{view.header.ssrc} << 32) | from.address, 0};
  PageInfo info;
  info.group = listens_[listen].label;
  info.source = platform::ipv4ToString(from.address);
  info.sourceAddress = from.address;
  info.senderId = view.header.ssrc;
  info.caller = info.source;
  info.priority = listens_[listen].priority;
  if (!arbiter_.packet(key, info, false, nowMs)) return;
  follow();
  PlayingPage& playing = *playing_;
  // Duplicates and packets older than the last one played are left out.
  if (playing.haveSequence && static_cast<int16_t>(view.header.sequence - playing.sequence) <= 0) {
    return;
  }
  playing.haveSequence = true;
  playing.sequence = view.header.sequence;
  play(*codec, data + view.payloadOffset, view.payloadLength);
}

void PagingReceiver::groupPacket(size_t listen, const uint8_t* data, size_t size,
                                 const platform::Endpoint& from, uint32_t nowMs) {
  GroupPagePacket packet;
  if (!readGroupPagePacket(data, size, packet)) {
    dropped("not a group paging packet");
    return;
  }
  const PageListen& entry = listens_[listen];
  if (std::find(entry.channels.begin(), entry.channels.end(), packet.channel) ==
      entry.channels.end()) {
    return;  // a channel not listened to: not an error
  }
  const PageKey key{static_cast<uint32_t>(listen), packet.serial, packet.channel};
  if (packet.op == GroupPageOp::End) {
    // What the pipe still holds plays out first (and what the device holds).
    const uint32_t drainMs =
        playing_ && playing_->pipe
            ? audio::PipeFrames(playing_->pipe) * 1000 / playing_->writer->rate() + kDeviceMs
            : 0;
    arbiter_.end(key, nowMs, drainMs);
    return;
  }
  PageInfo info;
  info.group = entry.label + " channel " + std::to_string(packet.channel);
  info.source = platform::ipv4ToString(from.address);
  info.sourceAddress = from.address;
  info.senderId = packet.serial;
  info.caller = packet.callerId.empty() ? info.source : packet.callerId;
  info.priority = channelPriority(entry, packet.channel);
  const bool alert = packet.op == GroupPageOp::Alert;
  if (!arbiter_.packet(key, info, alert, nowMs)) return;
  follow();
  if (alert) return;
  const std::optional<codecs::CodecId> codec = groupCodec(packet.codec);
  PlayingPage& playing = *playing_;
  // A frame lost on the way comes back from the redundancy of the next packet.
  if (playing.haveSequence && !packet.redundant.empty() &&
      packet.sampleCount - playing.nextSampleCount == kGroupFrameBytes &&
      packet.codec != kGroupCodecG722) {
    play(*codec, packet.redundant.data(), packet.redundant.size());
  } else if (playing.haveSequence && packet.sampleCount - playing.nextSampleCount >= 0x80000000u) {
    return;  // a repeat or a late packet
  }
  playing.haveSequence = true;
  // 30 ms frames: 240 units of the 8000 Hz sample count for every codec.
  playing.nextSampleCount = packet.sampleCount + static_cast<uint32_t>(kGroupFrameBytes);
  play(*codec, packet.audio.data(), packet.audio.size());
}

void PagingReceiver::follow() {
  const std::optional<PageInfo> now = arbiter_.current();
  if ((now && playing_ && playing_->id == now->id) || (!now && !playing_)) return;
  playing_.reset();
  if (now) {
    playing_.emplace();
    playing_->id = now->id;
    if (budget_.allow(platform::tickMs()))
      base::logInfo("Paging: " + std::string(pageLevelName(now->level)) + " page on " + now->group +
                    " from " + now->caller + " (priority " + std::to_string(now->priority) + ")");
  }
  // The audio follows with the page's first frame (its codec fixes the pipe's rate).
  changed_(PageChange{now, audio::SourceRef()});
}

void PagingReceiver::play(codecs::CodecId codec, const uint8_t* bytes, size_t size) {
  PlayingPage& playing = *playing_;
  if (playing.pipe == nullptr) {
    playing.codec = createPageCodec(codec);
    playing.codecId = codec;
    playing.pipe = audio::CreatePipe(pageAudioRate(codec), 1, audio::kProgramPeakRange);
    playing.writer = audio::OpenWriter(playing.pipe);
    PageChange change;
    change.page = arbiter_.current();
    change.audio = audio::OpenReader(playing.pipe);
    changed_(change);
  } else if (playing.codecId != codec) {
    // The pipe's rate was fixed by the first frame's codec.
    dropped("codec changed within a page");
    return;
  }
  if (playing.codec == nullptr) {
    dropped("no decoder for the page's codec");
    return;
  }
  const uint32_t rate = playing.writer->rate();
  if (audio::PipeFrames(playing.pipe) > rate * kMostQueuedMs / 1000) {
    dropped("more audio than plays");
    return;
  }
  std::vector<int32_t> samples(
      static_cast<size_t>(playing.codec->maxDecodedSamples(static_cast<int>(size))));
  const int count = playing.codec->decode(bytes, static_cast<int>(size), samples.data());
  if (count > 0) {
    playing.writer->Write(samples.data(), static_cast<uint32_t>(count));
  }
}

void PagingReceiver::dropped(const char* why) {
  ++droppedCount_;
  droppedWhy_ = why;
}

void PagingReceiver::logDropped(uint32_t nowMs) {
  const uint32_t ignored = arbiter_.ignored() - ignoredLogged_;
  if ((droppedCount_ == 0 && ignored == 0) || nowMs - lastLogMs_ < kLogEveryMs) return;
  base::logInfo("Paging: " + std::to_string(droppedCount_) + " packets dropped (last: " +
                (droppedWhy_.empty() ? std::string("none") : droppedWhy_) + "), " +
                std::to_string(ignored) + " of pages not played, " +
                std::to_string(budget_.takeHeldBack()) + " page lines not logged");
  droppedCount_ = 0;
  droppedWhy_.clear();
  ignoredLogged_ = arbiter_.ignored();
  lastLogMs_ = nowMs;
}

}  // namespace quillet::media
