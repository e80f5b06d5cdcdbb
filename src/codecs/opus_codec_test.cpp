// SPDX-License-Identifier: Apache-2.0
// Opus through AudioCodec: voice round trips at several rates and frame lengths, the bit
// rate setting, FEC and concealment for lost packets, DTX, and packets it must refuse.
#include "codecs/opus_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "codecs/codec_test_signals.h"

namespace quillet::codecs {
namespace {

using testing::alignedSnrDb;
using testing::rms;
using testing::speechLike;

struct Encoded {
  std::vector<std::vector<uint8_t>> packets;
  size_t totalBytes = 0;
};

Encoded encodeAll(OpusCodec& codec, const std::vector<int32_t>& in) {
  Encoded out;
  const int frame = codec.frameSamples();
  std::vector<uint8_t> packet(codec.maxEncodedBytes(frame));
  for (size_t at = 0; at + frame <= in.size(); at += frame) {
    const int n = codec.encode(in.data() + at, frame, packet.data());
    EXPECT_GT(n, 0);
    if (n <= 0) break;
    out.packets.emplace_back(packet.begin(), packet.begin() + n);
    out.totalBytes += n;
  }
  return out;
}

// Decodes every packet, with lost[k] packets concealed (from the next one's FEC data when
// useNext).
std::vector<int32_t> decodeAll(OpusCodec& codec, const Encoded& e, const std::vector<bool>& lost,
                               bool useNext) {
  std::vector<int32_t> out;
  std::vector<int32_t> pcm(codec.maxDecodedSamples(1));
  for (size_t k = 0; k < e.packets.size(); ++k) {
    int n;
    if (k < lost.size() && lost[k]) {
      const bool next = useNext && k + 1 < e.packets.size();
      n = codec.decodeLost(next ? e.packets[k + 1].data() : nullptr,
                           next ? static_cast<int>(e.packets[k + 1].size()) : 0, pcm.data());
    } else {
      n = codec.decode(e.packets[k].data(), static_cast<int>(e.packets[k].size()), pcm.data());
    }
    EXPECT_GT(n, 0) << "packet " << k;
    out.insert(out.end(), pcm.begin(), pcm.begin() + std::max(n, 0));
  }
  return out;
}

std::unique_ptr<OpusCodec> makeOpus(int rate, int frameMs, bool fec = true, int bitRate = 32000) {
  OpusSettings s;
  s.sampleRate = rate;
  s.frameMs = frameMs;
  s.inbandFec = fec;
  s.bitRate = bitRate;
  return OpusCodec::create(s);
}

double snrOfRange(const std::vector<int32_t>& ref, const std::vector<int32_t>& out, size_t from,
                  size_t count) {
  const std::vector<int32_t> a(ref.begin() + from, ref.begin() + from + count);
  const std::vector<int32_t> b(out.begin() + from, out.begin() + from + count);
  return alignedSnrDb(a, b, 0);
}

TEST(OpusCodec, VoiceRoundTripsAtEachRateAndFrameLength) {
  struct Case {
    int rate;
    int frameMs;
    double minSnr;
  };
  for (const Case& c : {Case{48000, 20, 8.0}, Case{48000, 10, 8.0}, Case{16000, 20, 8.0}}) {
    auto codec = makeOpus(c.rate, c.frameMs);
    ASSERT_NE(codec, nullptr);
    const std::vector<int32_t> in = speechLike(c.rate, 2 * c.rate);
    const Encoded e = encodeAll(*codec, in);
    ASSERT_EQ(e.packets.size(), static_cast<size_t>(2000 / c.frameMs));
    // 32 kbit/s on average, within a loose margin of the encoder's own choices.
    const double bitRate = e.totalBytes * 8.0 / 2.0;
    EXPECT_GT(bitRate, 16000) << c.rate;
    EXPECT_LT(bitRate, 48000) << c.rate;
    const std::vector<int32_t> out = decodeAll(*codec, e, {}, false);
    ASSERT_EQ(out.size(), in.size());
    int delay = 0;
    const double snr = alignedSnrDb(in, out, c.rate / 50, &delay);
    std::printf("opus %d Hz %d ms: %.0f bit/s, SNR %.1f dB at a delay of %d samples\n", c.rate,
                c.frameMs, bitRate, snr, delay);
    EXPECT_GT(snr, c.minSnr) << c.rate << " Hz " << c.frameMs << " ms";
    EXPECT_NEAR(rms(out.data(), static_cast<int>(out.size())),
                rms(in.data(), static_cast<int>(in.size())),
                0.25 * rms(in.data(), static_cast<int>(in.size())));
  }
}

TEST(OpusCodec, BitRateIsSettableWithinItsRange) {
  const std::vector<int32_t> in = speechLike(48000, 96000);
  auto low = makeOpus(48000, 20, true, 12000);
  auto high = makeOpus(48000, 20, true, 64000);
  const size_t lowBytes = encodeAll(*low, in).totalBytes;
  const size_t highBytes = encodeAll(*high, in).totalBytes;
  EXPECT_LT(lowBytes * 3, highBytes) << lowBytes << " " << highBytes;
  EXPECT_NEAR(lowBytes * 8.0 / 2, 12000, 4000);

  EXPECT_TRUE(low->setBitRate(64000));
  EXPECT_EQ(low->settings().bitRate, 64000);
  low->reset();
  EXPECT_NEAR(static_cast<double>(encodeAll(*low, in).totalBytes), highBytes, highBytes * 0.1);
  EXPECT_FALSE(low->setBitRate(5999));
  EXPECT_FALSE(low->setBitRate(510001));
  EXPECT_EQ(low->settings().bitRate, 64000);

  // Settings it cannot use make no codec, with a reason.
  OpusSettings odd;
  odd.sampleRate = 44100;
  EXPECT_NE(checkOpusSettings(odd).find("44100"), std::string::npos);
  EXPECT_EQ(OpusCodec::create(odd), nullptr);
  EXPECT_TRUE(checkOpusSettings(OpusSettings{}).empty());
}

// Every fifth packet lost: concealment fills each gap with sound at about the level
// around it, and the next packet's FEC data brings back what was lost far better.
TEST(OpusCodec, LostPacketsAreConcealedAndRecoveredFromFec) {
  const std::vector<int32_t> in = speechLike(48000, 3 * 48000);
  auto encoder = makeOpus(48000, 20);
  const Encoded e = encodeAll(*encoder, in);
  std::vector<bool> lost(e.packets.size(), false);
  for (size_t k = 7; k < lost.size(); k += 5) lost[k] = true;

  auto clean = makeOpus(48000, 20);
  auto concealing = makeOpus(48000, 20);
  auto recovering = makeOpus(48000, 20);
  const std::vector<int32_t> ref = decodeAll(*clean, e, {}, false);
  const std::vector<int32_t> plc = decodeAll(*concealing, e, lost, false);
  const std::vector<int32_t> fec = decodeAll(*recovering, e, lost, true);
  ASSERT_EQ(plc.size(), ref.size());
  ASSERT_EQ(fec.size(), ref.size());

  double plcSnr = 0;
  double fecSnr = 0;
  int voiced = 0;
  for (size_t k = 0; k < lost.size(); ++k) {
    if (!lost[k]) continue;
    const size_t at = k * 960;
    const double level = rms(ref.data() + at, 960);
    if (level < 20000) continue;  // a pause: nothing to bring back
    ++voiced;
    EXPECT_GT(rms(plc.data() + at, 960), 0.1 * level) << "packet " << k;
    EXPECT_LT(rms(plc.data() + at, 960), 2.0 * level) << "packet " << k;
    EXPECT_GT(rms(fec.data() + at, 960), 0.5 * level) << "packet " << k;
    plcSnr += snrOfRange(ref, plc, at, 960);
    fecSnr += snrOfRange(ref, fec, at, 960);
  }
  ASSERT_GT(voiced, 10);
  plcSnr /= voiced;
  fecSnr /= voiced;
  std::printf("lost packets against the clean decode: concealed %.1f dB, from FEC %.1f dB\n",
              plcSnr, fecSnr);
  EXPECT_GT(fecSnr, 10.0);
  EXPECT_GT(fecSnr, plcSnr + 3.0);

  // Without FEC data in the stream the next packet cannot help: concealment it is.
  auto plain = makeOpus(48000, 20, false);
  const Encoded noFec = encodeAll(*plain, in);
  EXPECT_LT(noFec.totalBytes, e.totalBytes + e.totalBytes / 20);
  auto a = makeOpus(48000, 20);
  auto b = makeOpus(48000, 20);
  EXPECT_EQ(decodeAll(*a, noFec, lost, true), decodeAll(*b, noFec, lost, false));

  // A loss before any packet arrived conceals one frame of silence.
  auto fresh = makeOpus(48000, 10);
  std::vector<int32_t> pcm(fresh->maxConcealedSamples());
  EXPECT_EQ(fresh->decodeLost(nullptr, 0, pcm.data()), 480);
  EXPECT_EQ(rms(pcm.data(), 480), 0.0);
}

TEST(OpusCodec, DtxIsOffUnlessAskedFor) {
  std::vector<int32_t> in = speechLike(48000, 48000);
  in.resize(3 * 48000, 0);  // two seconds of silence after the voice
  auto normal = makeOpus(48000, 20);
  OpusSettings s;
  s.dtx = true;
  auto dtx = OpusCodec::create(s);
  EXPECT_FALSE(normal->settings().dtx);
  auto tiny = [](const Encoded& e) {
    return std::count_if(e.packets.begin(), e.packets.end(),
                         [](const std::vector<uint8_t>& p) { return p.size() <= 2; });
  };
  EXPECT_EQ(tiny(encodeAll(*normal, in)), 0);
  EXPECT_GT(tiny(encodeAll(*dtx, in)), 50);
}

// Packets of every configuration in the table of contents, in each frame count code,
// with short and long bodies; empty, oversized and absent payloads. Each gets a sample
// count or -1, and the decoder still decodes a good packet afterwards.
TEST(OpusCodec, AnyPacketGetsAClearAnswer) {
  auto codec = makeOpus(48000, 20);
  const int most = codec->maxDecodedSamples(1);
  std::vector<int32_t> out(most);
  const std::vector<int32_t> in = speechLike(48000, 960);
  std::vector<uint8_t> good(kOpusMaxPacketBytes);
  good.resize(codec->encode(in.data(), 960, good.data()));
  ASSERT_FALSE(good.empty());

  int accepted = 0;
  int refused = 0;
  uint32_t seed = 7;
  for (int toc = 0; toc < 256; ++toc) {
    for (size_t length : {1u, 2u, 3u, 17u, 200u, 1275u}) {
      std::vector<uint8_t> packet(length);
      packet[0] = static_cast<uint8_t>(toc);
      for (size_t i = 1; i < length; ++i) {
        seed = seed * 1103515245u + 12345u;
        packet[i] = static_cast<uint8_t>(seed >> 16);
      }
      const int n = codec->decode(packet.data(), static_cast<int>(length), out.data());
      ASSERT_TRUE(n == -1 || (n > 0 && n <= most)) << toc << " " << length << ": " << n;
      (n > 0 ? accepted : refused)++;
      for (int i = 0; i < std::max(n, 0); ++i) {
        ASSERT_TRUE(out[i] >= kSampleMin && out[i] <= kSampleMax);
      }
    }
  }
  EXPECT_GT(accepted, 100);
  EXPECT_GT(refused, 100);

  EXPECT_EQ(codec->decode(good.data(), 0, out.data()), -1);
  EXPECT_EQ(codec->decode(nullptr, 10, out.data()), -1);
  std::vector<uint8_t> huge(kOpusMaxDecodeBytes + 1, 0x11);
  huge[0] = good[0];
  EXPECT_EQ(codec->decode(huge.data(), static_cast<int>(huge.size()), out.data()), -1);
  // The redundancy of a damaged next packet is no help, but concealment still answers,
  // as long as the last packet decoded.
  EXPECT_EQ(codec->decode(good.data(), static_cast<int>(good.size()), out.data()), 960);
  EXPECT_EQ(codec->decodeLost(huge.data(), static_cast<int>(huge.size()), out.data()), 960);
  // A shorter next packet does not shorten the lost one.
  auto tenMs = makeOpus(48000, 10);
  std::vector<uint8_t> shorter(kOpusMaxPacketBytes);
  shorter.resize(tenMs->encode(in.data(), 480, shorter.data()));
  EXPECT_EQ(codec->decodeLost(shorter.data(), static_cast<int>(shorter.size()), out.data()), 960);
  const uint8_t bad[] = {0x03};  // code 3 without its frame count byte
  EXPECT_GT(codec->decodeLost(bad, 1, out.data()), 0);
  EXPECT_EQ(codec->decode(good.data(), static_cast<int>(good.size()), out.data()), 960);

  // Encoding more than a frame is refused; less is padded to one.
  std::vector<uint8_t> packet(codec->maxEncodedBytes(961));
  EXPECT_EQ(codec->encode(in.data(), 961, packet.data()), -1);
  EXPECT_GT(codec->encode(in.data(), 100, packet.data()), 0);
  EXPECT_EQ(codec->encode(in.data(), 0, packet.data()), 0);
}

}  // namespace
}  // namespace quillet::codecs
