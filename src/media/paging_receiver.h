// SPDX-License-Identifier: Apache-2.0
// PagingReceiver: a worker that joins the multicast groups to listen to (plain RTP with
// PCMU, PCMA, G.722 or Opus, or the group paging format), lets a PageArbiter choose the page that
// plays, decodes it into a pipe and reports every change of the page playing.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio_pipe.h"
#include "base/worker_thread.h"
#include "codecs/audio_codec.h"
#include "media/paging_arbiter.h"
#include "media/paging_codec.h"
#include "media/paging_packet.h"
#include "platform/socket.h"

namespace quillet::media {

struct PageListen {
  PageTarget target;     // target.grouped: group paging on the channels below
  std::string label;     // shown with the page
  int32_t priority = 1;  // 1..10 (group paging channels 24 and 25: 9 and 10)
  std::vector<uint8_t> channels;
  int opusPayloadType = kPageOpusPayloadType;  // plain RTP: the dynamic type of Opus pages
};

// The page now playing (none: nothing plays) and its audio.
struct PageChange {
  std::optional<PageInfo> page;
  audio::SourceRef audio;
};

// The page that plays: its stream and where its packets have got to.
struct PlayingPage {
  uint64_t id = 0;
  audio::PipeRef pipe;
  audio::SinkRef writer;
  std::unique_ptr<codecs::AudioCodec> codec;
  codecs::CodecId codecId = codecs::CodecId::kPcmu;
  bool haveSequence = false;
  uint16_t sequence = 0;
  uint32_t nextSampleCount = 0;
};

class PagingReceiver : public base::WorkerThread {
 public:
  static constexpr uint32_t kMostQueuedMs = 2000;  // audio beyond this is dropped
  static constexpr uint32_t kLogEveryMs = 5000;    // dropped packets are logged this often
  static constexpr uint32_t kDeviceMs = 200;       // a page's end waits this for the device

  // `admit` and `changed` run on the receiver's thread.
  PagingReceiver(std::vector<PageListen> listens, uint32_t interfaceAddress,
                 PageArbiter::Admit admit, std::function<void(const PageChange&)> changed);
  ~PagingReceiver() override;

  // Opens and joins the groups; false when none could be (each failure is logged).
  bool open();
  // Stops playing a page until it ends (any thread).
  void mute(uint64_t id);

  // The priority a group paging channel plays at.
  static int32_t channelPriority(const PageListen& listen, uint8_t channel);

 private:
  struct Socket {
    platform::UniqueFd fd;
    size_t listen = 0;
  };
  void Run() override;
  void receive(const Socket& socket, uint32_t nowMs);
  void plainPacket(size_t listen, const uint8_t* data, size_t size, const platform::Endpoint& from,
                   uint32_t nowMs);
  void groupPacket(size_t listen, const uint8_t* data, size_t size, const platform::Endpoint& from,
                   uint32_t nowMs);
  // Follows the arbiter's choice: a new pipe for a new page, a report for every change.
  void follow();
  // Decodes a frame of the page playing into its pipe (not beyond kMostQueuedMs).
  void play(codecs::CodecId codec, const uint8_t* bytes, size_t size);
  void dropped(const char* why);
  void logDropped(uint32_t nowMs);

  std::vector<PageListen> listens_;
  uint32_t interface_;
  std::function<void(const PageChange&)> changed_;
  PageArbiter arbiter_;
  std::vector<Socket> sockets_;
  std::optional<PlayingPage> playing_;
  platform::Event wake_{platform::Event::Reset::Auto};
  std::mutex muteMutex_;
  std::vector<uint64_t> toMute_;
  uint32_t droppedCount_ = 0;
  std::string droppedWhy_;
  uint32_t lastLogMs_ = 0;
  uint32_t ignoredLogged_ = 0;
  LogBudget budget_;
};

// Joins `group` on the interface with that address (0: the system's choice) on a socket
// bound to the group's port with address reuse; false with errno kept on failure.
bool joinMulticast(platform::UniqueFd& socket, uint32_t group, uint16_t port,
                   uint32_t interfaceAddress);

}  // namespace quillet::media
