// SPDX-License-Identifier: Apache-2.0
// The codecs against the reference implementations: G.711 and G.726-32 bit-exact
// against spandsp, GSM 06.10 against libgsm (decoding within a stated difference, our
// encoder's quality through libgsm's decoder within 1 dB of libgsm's own round trip).
#include <gtest/gtest.h>

extern "C" {
#include <gsm.h>
}

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "codecs/g711.h"
#include "codecs/g726.h"
#include "codecs/gsm610.h"
#include "codecs/reference_signals.h"

// spandsp last: its headers define math macros, and depend on each other in this order.
// clang-format off
#include <spandsp/telephony.h>
#include <spandsp/bit_operations.h>
#include <spandsp/bitstream.h>
#include <spandsp/g711.h>
#include <spandsp/g726.h>
// clang-format on

namespace quillet::codecs {
namespace {

using testing::snrDb;

struct Signal {
  std::string name;
  std::vector<int16_t> samples;
};

// Speech (made once per run) and synthetic audio, trimmed to whole 20 ms frames.
const std::vector<Signal>& signals() {
  static const std::vector<Signal> all = [] {
    std::vector<Signal> out;
    std::string error;
    std::vector<int16_t> speech = testing::makeSpeech(error);
    if (speech.empty()) {
      ADD_FAILURE() << "no speech sample: " << error;
    } else {
      out.push_back({"speech", std::move(speech)});
    }
    out.push_back({"synthetic", testing::makeSyntheticMix()});
    for (Signal& s : out) s.samples.resize(s.samples.size() / 160 * 160);
    return out;
  }();
  return all;
}

std::vector<int32_t> toInternal(const std::vector<int16_t>& in) {
  std::vector<int32_t> out(in.size());
  for (size_t i = 0; i < in.size(); ++i) out[i] = in[i] * 16;
  return out;
}

std::vector<int16_t> toPcm(const std::vector<int32_t>& in) {
  std::vector<int16_t> out(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    out[i] = static_cast<int16_t>(std::clamp((in[i] + 8) >> 4, -32768, 32767));
  }
  return out;
}

// --- G.711 ---------------------------------------------------------------------------

TEST(CodecReference, G711DecodingIsBitExactWithSpandsp) {
  for (int code = 0; code < 256; ++code) {
    const auto c = static_cast<uint8_t>(code);
    EXPECT_EQ(muLawDecode(c), ulaw_to_linear(c) * 16) << code;
    EXPECT_EQ(aLawDecode(c), alaw_to_linear(c) * 16) << code;
  }
}

// Position of a code on the line of quantisation levels of its sign (0 nearest zero).
int muLawLevel(uint8_t code) {
  return 127 - ((~code) & 0x7F);
}
int aLawLevel(uint8_t code) {
  return (code ^ 0x55) & 0x7F;
}

TEST(CodecReference, G711EncodingMatchesSpandspUpToNegativeTruncation) {
  // spandsp takes the magnitude of a negative input as -x - 1, this codec as -x: positive
  // inputs must agree, negative ones may differ by one level at the decision levels.
  int muDiffer = 0;
  int aDiffer = 0;
  for (int x = -32768; x <= 32767; ++x) {
    const uint8_t mu = muLawEncode(x * 16);
    const uint8_t muRef = linear_to_ulaw(x);
    const uint8_t a = aLawEncode(x * 16);
    const uint8_t aRef = linear_to_alaw(x);
    if (x >= 0) {
      ASSERT_EQ(mu, muRef) << "mu-law " << x;
      ASSERT_EQ(a, aRef) << "A-law " << x;
      continue;
    }
    if (mu != muRef) {
      ++muDiffer;
      ASSERT_EQ(mu & 0x80, muRef & 0x80) << "mu-law " << x;
      ASSERT_EQ(std::abs(muLawLevel(mu) - muLawLevel(muRef)), 1) << "mu-law " << x;
    }
    if (a != aRef) {
      ++aDiffer;
      ASSERT_EQ(a & 0x80, aRef & 0x80) << "A-law " << x;
      ASSERT_EQ(std::abs(aLawLevel(a) - aLawLevel(aRef)), 1) << "A-law " << x;
    }
  }
  std::printf(
      "G.711 encoders differ from spandsp on %d (mu-law) and %d (A-law) of 32768 negative inputs\n",
      muDiffer, aDiffer);
  EXPECT_LT(muDiffer, 300);
  EXPECT_LT(aDiffer, 300);
}

// --- G.726-32 ------------------------------------------------------------------------

struct SpanG726 {
  explicit SpanG726(int packing)
      : state(g726_init(nullptr, 32000, G726_ENCODING_LINEAR, packing)) {}
  ~SpanG726() { g726_free(state); }
  g726_state_t* state;
};

std::vector<Signal> g726Signals() {
  std::vector<Signal> out;
  // Samples as they come, with every 16-bit value: the encoder must drop the two low bits
  // exactly as the reference does.
  for (const Signal& s : signals()) out.push_back(s);
  for (double hz : {300.0, 1000.0, 2900.0}) {
    std::vector<int16_t> tone(8000);
    for (size_t i = 0; i < tone.size(); ++i) {
      tone[i] =
          static_cast<int16_t>(std::lround(24000 * std::sin(2 * std::numbers::pi * hz * i / 8000)));
    }
    out.push_back({"tone " + std::to_string(static_cast<int>(hz)), tone});
  }
  // Full-scale noise and a square wave drive the quantiser and predictor to their
  // limits; very quiet noise keeps them at the bottom.
  uint32_t seed = 11;
  std::vector<int16_t> loud(8000);
  std::vector<int16_t> quiet(8000);
  std::vector<int16_t> square(8000);
  for (size_t i = 0; i < loud.size(); ++i) {
    seed = seed * 1664525u + 1013904223u;
    loud[i] = static_cast<int16_t>(seed >> 16);
    quiet[i] = static_cast<int16_t>(static_cast<int>(seed >> 29) * 4 - 16);
    square[i] = (i / 20) % 2 ? 32764 : -32768;
  }
  out.push_back({"loud noise", loud});
  out.push_back({"quiet noise", quiet});
  out.push_back({"square", square});
  return out;
}

TEST(CodecReference, G726EncodingIsBitExactWithSpandsp) {
  for (const Signal& s : g726Signals()) {
    std::vector<int16_t> input = s.samples;
    SpanG726 ref(G726_PACKING_NONE);  // one code per byte: no packing question
    std::vector<uint8_t> refCodes(input.size());
    ASSERT_EQ(g726_encode(ref.state, refCodes.data(), input.data(), static_cast<int>(input.size())),
              static_cast<int>(input.size()));

    G726State ours;
    g726Reset(ours);
    const std::vector<int32_t> internal = toInternal(input);
    size_t mismatches = 0;
    for (size_t i = 0; i < input.size(); ++i) {
      const int code = g726EncodeSample(ours, internal[i]);
      if (code != refCodes[i] && mismatches++ == 0) {
        ADD_FAILURE() << s.name << ": first differing code at sample " << i << " (input "
                      << input[i] << ")";
      }
    }
    EXPECT_EQ(mismatches, 0u) << s.name;

    // spandsp's two packings: the earlier code in the high four bits is the AAL2 order,
    // in the low four bits the RFC 3551 one.
    for (auto [spanPacking, packing] : {std::pair{G726_PACKING_LEFT, G726Packing::kAal2},
                                        std::pair{G726_PACKING_RIGHT, G726Packing::kRfc3551}}) {
      SpanG726 span(spanPacking);
      std::vector<uint8_t> refPacked(input.size() / 2);
      g726_encode(span.state, refPacked.data(), input.data(), static_cast<int>(input.size()));
      G726State enc;
      g726Reset(enc);
      std::vector<uint8_t> packed(input.size() / 2);
      g726Encode(enc, packing, internal.data(), static_cast<int>(internal.size()), packed.data());
      EXPECT_EQ(refPacked, packed) << s.name << " packing " << spanPacking;
    }
  }
}

TEST(CodecReference, G726DecodingIsBitExactWithSpandsp) {
  std::vector<std::vector<uint8_t>> streams;
  for (const Signal& s : g726Signals()) {
    SpanG726 ref(G726_PACKING_NONE);
    std::vector<uint8_t> codes(s.samples.size());
    g726_encode(ref.state, codes.data(), s.samples.data(), static_cast<int>(s.samples.size()));
    streams.push_back(codes);
  }
  // And codes no encoder would send in this order.
  std::vector<uint8_t> random(40000);
  uint32_t seed = 7;
  for (uint8_t& c : random) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<uint8_t>(seed >> 28);
  }
  streams.push_back(random);

  for (size_t n = 0; n < streams.size(); ++n) {
    const std::vector<uint8_t>& codes = streams[n];
    SpanG726 ref(G726_PACKING_NONE);
    std::vector<int16_t> refOut(codes.size());
    g726_decode(ref.state, refOut.data(), codes.data(), static_cast<int>(codes.size()));
    G726State ours;
    g726Reset(ours);
    // Where the reconstruction leaves 14 bits, spandsp's 16-bit output wraps around and
    // this decoder holds the limit; everywhere else they must agree.
    size_t mismatches = 0;
    size_t held = 0;
    for (size_t i = 0; i < codes.size(); ++i) {
      const int32_t v = g726DecodeSample(ours, codes[i]);
      if (v == refOut[i] * 16) continue;
      if (v == 8191 * 64 || v == -8192 * 64) {
        ++held;
      } else if (mismatches++ == 0) {
        ADD_FAILURE() << "stream " << n << ": first difference at " << i << ": " << v / 16 << " vs "
                      << refOut[i];
      }
    }
    EXPECT_EQ(mismatches, 0u) << "stream " << n;
    std::printf(
        "G.726 decode stream %zu: %zu samples, %zu held at the 14-bit limit where spandsp wraps\n",
        n, codes.size(), held);
  }
}

// --- GSM 06.10 -----------------------------------------------------------------------

struct LibGsm {
  LibGsm() : handle(gsm_create()) {}
  ~LibGsm() { gsm_destroy(handle); }
  gsm handle;
};

std::vector<uint8_t> libgsmEncode(const std::vector<int16_t>& pcm) {
  LibGsm g;
  std::vector<uint8_t> out(pcm.size() / 160 * 33);
  for (size_t f = 0; f < pcm.size() / 160; ++f) {
    gsm_encode(g.handle, const_cast<gsm_signal*>(pcm.data() + 160 * f), out.data() + 33 * f);
  }
  return out;
}

std::vector<int16_t> libgsmDecode(const std::vector<uint8_t>& frames) {
  LibGsm g;
  std::vector<int16_t> out(frames.size() / 33 * 160);
  for (size_t f = 0; f < frames.size() / 33; ++f) {
    EXPECT_EQ(
        gsm_decode(g.handle, const_cast<gsm_byte*>(frames.data() + 33 * f), out.data() + 160 * f),
        0);
  }
  return out;
}

std::vector<uint8_t> oursEncode(const std::vector<int16_t>& pcm) {
  GsmEncoderState enc;
  gsmResetEncoder(enc);
  const std::vector<int32_t> in = toInternal(pcm);
  std::vector<uint8_t> out(pcm.size() / 160 * 33);
  for (size_t f = 0; f < pcm.size() / 160; ++f)
    gsmEncodeFrame(enc, in.data() + 160 * f, out.data() + 33 * f);
  return out;
}

std::vector<int16_t> oursDecode(const std::vector<uint8_t>& frames) {
  GsmDecoderState dec;
  gsmResetDecoder(dec);
  std::vector<int32_t> out(frames.size() / 33 * 160);
  for (size_t f = 0; f < frames.size() / 33; ++f)
    gsmDecodeFrame(dec, frames.data() + 33 * f, out.data() + 160 * f);
  return toPcm(out);
}

TEST(CodecReference, GsmDecodingOfLibgsmFramesIsCloseToLibgsm) {
  for (const Signal& s : signals()) {
    const std::vector<uint8_t> frames = libgsmEncode(s.samples);
    const std::vector<int16_t> ref = libgsmDecode(frames);
    const std::vector<int16_t> ours = oursDecode(frames);
    int maxDiff = 0;
    for (size_t i = 0; i < ref.size(); ++i) maxDiff = std::max(maxDiff, std::abs(ref[i] - ours[i]));
    const double snr = snrDb(ref, ours);
    std::printf(
        "GSM decode of libgsm frames (%s): %.1f dB against libgsm's decode, max difference %d\n",
        s.name.c_str(), snr, maxDiff);
    // The two differ only in post-processing (de-emphasis coefficient, no 13-bit
    // truncation) and in the exact inverse APCM factors.
    EXPECT_GT(snr, 35.0) << s.name;
  }
}

TEST(CodecReference, GsmEncodingDecodesInLibgsmWithinOneDbOfLibgsm) {
  for (const Signal& s : signals()) {
    const double ref = snrDb(s.samples, libgsmDecode(libgsmEncode(s.samples)));
    const double ours = snrDb(s.samples, libgsmDecode(oursEncode(s.samples)));
    const double oursBoth = snrDb(s.samples, oursDecode(oursEncode(s.samples)));
    std::printf(
        "GSM round trip SNR (%s): libgsm %.2f dB, ours->libgsm %.2f dB, ours->ours %.2f dB\n",
        s.name.c_str(), ref, ours, oursBoth);
    EXPECT_GT(ours, ref - 1.0) << s.name;
  }
}

TEST(CodecReference, GsmFramesCarryTheSignatureAndParseInLibgsm) {
  const std::vector<uint8_t> frames = oursEncode(signals().back().samples);
  for (size_t f = 0; f < frames.size() / 33; ++f) ASSERT_EQ(frames[33 * f] >> 4, 0xD) << f;
}

}  // namespace
}  // namespace quillet::codecs
