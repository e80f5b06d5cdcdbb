// SPDX-License-Identifier: Apache-2.0
// Receive path benchmark: RTP datagrams of each codec through the reorder buffer, the
// decoder and the playout clock, in order and with every fourth pair swapped.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "audio/audio_pipe.h"
#include "codecs/audio_codec.h"
#include "media/playout_clock.h"
#include "media/reorder_buffer.h"

namespace {

using namespace quillet;
using namespace quillet::media;

// Real time advances 20 ms per packet fed, as on a live call; audio goes to a pipe writer
// (no reader: the ring fills, then the writes are cut) or is summed.
class BenchOutput : public PlayoutOutput {
 public:
  explicit BenchOutput(bool pipe) {
    if (pipe) {
      pipe_ = audio::CreatePipe(8000, 1, audio::kProgramPeakRange);
      writer_ = audio::OpenWriter(pipe_);
    }
  }
  uint32_t nowMs() override { return now; }
  void sleepMs(uint32_t ms) override { now += ms; }
  void writeSamples(const int32_t* samples, size_t count) override {
    if (pipe_) {
      writer_->Write(samples, static_cast<uint32_t>(count));
    } else {
      for (size_t i = 0; i < count; ++i) sum += samples[i];
    }
  }
  uint32_t now = 100000;
  int64_t sum = 0;

 private:
  audio::PipeRef pipe_;
  audio::SinkRef writer_;
};

std::vector<std::vector<uint8_t>> makeStream(uint8_t type, size_t count, bool reorder) {
  codecs::CodecId id = type == 0   ? codecs::CodecId::kPcmu
                       : type == 8 ? codecs::CodecId::kPcma
                       : type == 3 ? codecs::CodecId::kGsm
                                   : codecs::CodecId::kG726_32;
  auto codec = codecs::createAudioCodec(id);
  std::vector<int32_t> frame(160);
  std::vector<std::vector<uint8_t>> packets;
  for (size_t k = 0; k < count; ++k) {
    for (size_t i = 0; i < frame.size(); ++i) {
      frame[i] = static_cast<int32_t>(((k * 160 + i) * 37 % 2000) * 64) - 64000;
    }
    std::vector<uint8_t> packet(kRtpHeaderSize + 160);
    int bytes = codec->encode(frame.data(), 160, packet.data() + kRtpHeaderSize);
    packet.resize(kRtpHeaderSize + static_cast<size_t>(bytes));
    writeRtpHeader(packet.data(), k == 0, type, static_cast<uint16_t>(k),
                   static_cast<uint32_t>(k * 160), 0x1234);
    packets.push_back(std::move(packet));
  }
  if (reorder) {
    for (size_t k = 0; k + 1 < packets.size(); k += 8) std::swap(packets[k], packets[k + 1]);
  }
  return packets;
}

void receivePath(benchmark::State& state, uint8_t type, bool reorder, bool pipe) {
  auto packets = makeStream(type, 1000, reorder);
  BenchOutput output(pipe);
  PlayoutTypes types{13, 97};
  int64_t played = 0;
  for (auto _ : state) {
    ReorderBuffer buffer(output.now);
    PlayoutClock clock(output, 5);
    for (const auto& packet : packets) {
      output.now += 20;
      RtpSlot* slot = buffer.freeSlot();
      std::memcpy(slot->data.data(), packet.data(), packet.size());
      if (buffer.store(*slot, packet.size(), output.now)) clock.arrived(*slot, output.now);
      while (const RtpSlot* head = buffer.head()) {
        bool inSequence = head->packet.header.sequence == buffer.expectedSequence();
        if (!inSequence && clock.gapWait() > 5) break;
        clock.play(*head, !inSequence, types);
        buffer.popHead();
        ++played;
      }
    }
  }
  state.counters["packets/s"] =
      benchmark::Counter(static_cast<double>(played), benchmark::Counter::kIsRate);
  benchmark::DoNotOptimize(output.sum);
}

BENCHMARK_CAPTURE(receivePath, pcmu_in_order, 0, false, false);
BENCHMARK_CAPTURE(receivePath, pcmu_reordered, 0, true, false);
BENCHMARK_CAPTURE(receivePath, pcmu_into_pipe, 0, false, true);
BENCHMARK_CAPTURE(receivePath, pcma_in_order, 8, false, false);
BENCHMARK_CAPTURE(receivePath, g726_in_order, 97, false, false);
BENCHMARK_CAPTURE(receivePath, gsm_in_order, 3, false, false);
BENCHMARK_CAPTURE(receivePath, gsm_reordered, 3, true, false);

}  // namespace
