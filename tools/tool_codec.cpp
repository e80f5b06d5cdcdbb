// SPDX-License-Identifier: Apache-2.0
// quillet-tool codec: encodes a mono 16-bit WAV at the codec's rate into its RTP payloads
// (concatenated, or length-prefixed packets for Opus), and decodes them back into a WAV.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "codecs/audio_codec.h"
#include "codecs/gsm610.h"
#include "codecs/opus_codec.h"
#include "tool.h"
#include "wav_io.h"

namespace quillet::tool {

namespace {

using codecs::AudioCodec;
using codecs::CodecId;

constexpr const char* kUsage =
    "usage: quillet-tool codec encode NAME IN.wav OUT [--bitrate N] [--frame-ms 10|20]\n"
    "       quillet-tool codec decode NAME IN OUT.wav\n"
    "  NAME: pcmu, pcma, g726-32, aal2-g726-32, gsm (8000 Hz), g722 (16000 Hz), opus\n"
    "  (48000 Hz). The WAV is mono 16-bit PCM at the codec's rate. The encoded file is the\n"
    "  concatenated RTP payloads (160, 160, 80, 33 or 160 bytes per 20 ms; g726-32 puts the\n"
    "  earlier sample in the low four bits, aal2-g726-32 in the high four), a partial last\n"
    "  frame padded with zeros. For opus it is one record per packet: the length in two\n"
    "  bytes, most significant first, then the packet; a record of length 0 is a lost\n"
    "  packet, which decode conceals (from the next packet's FEC data when it has some).\n"
    "  --bitrate (6000 .. 510000, default 32000) and --frame-ms are for opus only. decode\n"
    "  prints and writes what it decoded.";

constexpr const char* kCodecNames = "pcmu, pcma, g726-32, aal2-g726-32, gsm, g722, opus";

struct EncodeOptions {
  int bitRate = codecs::kOpusDefaultBitRate;
  int frameMs = 20;
  bool opusOptionGiven = false;
};

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

bool readFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  uint8_t buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    if (bytes.size() + got > (size_t{1} << 30)) {
      error = path + ": file too large";
      return false;
    }
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  if (std::ferror(file.get())) {
    error = "cannot read " + path;
    return false;
  }
  return true;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
  FilePtr file(std::fopen(path.c_str(), "wb"));
  if (!file) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() ||
      std::fclose(file.release()) != 0) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

std::string wantedFormat(const codecs::CodecInfo& info) {
  return std::to_string(info.sampleRate) + " Hz mono 16-bit PCM";
}

std::unique_ptr<AudioCodec> makeCodec(CodecId id, const EncodeOptions& options) {
  if (id != CodecId::kOpus) return codecs::createAudioCodec(id);
  codecs::OpusSettings settings;
  settings.bitRate = options.bitRate;
  settings.frameMs = options.frameMs;
  return codecs::OpusCodec::create(settings);
}

void appendPacket(std::vector<uint8_t>& file, const uint8_t* packet, int length) {
  file.push_back(static_cast<uint8_t>(length >> 8));
  file.push_back(static_cast<uint8_t>(length & 0xFF));
  file.insert(file.end(), packet, packet + length);
}

int encode(CodecId id, const std::string& in, const std::string& out,
           const EncodeOptions& options) {
  const codecs::CodecInfo& info = codecs::codecInfo(id);
  WavFile wav;
  std::string error;
  const WavStatus status = readWav(in, wav, error);
  if (status == WavStatus::kUnsupported) {
    return rejected(in + ": " + describeWavFormat(wav) + " is not " + wantedFormat(info));
  }
  if (status != WavStatus::kOk) return rejected(error);
  if (wav.sampleRate != static_cast<uint32_t>(info.sampleRate) || wav.channels != 1) {
    return rejected(in + ": " + describeWavFormat(wav) + " is not " + wantedFormat(info));
  }
  std::unique_ptr<AudioCodec> codec = makeCodec(id, options);
  if (!codec) return rejected("cannot start the " + std::string(info.name) + " encoder");
  // Whole frames; a partial last frame is padded with zeros.
  const size_t frame =
      id == CodecId::kOpus ? info.sampleRate / 1000 * options.frameMs : info.frameSamples;
  const size_t frames = (wav.samples.size() + frame - 1) / frame;
  std::vector<int32_t> samples(frames * frame, 0);
  for (size_t i = 0; i < wav.samples.size(); ++i) samples[i] = wav.samples[i] * 16;

  std::vector<uint8_t> file;
  std::vector<uint8_t> payload(codec->maxEncodedBytes(static_cast<int>(frame)));
  for (size_t f = 0; f < frames; ++f) {
    const int bytes =
        codec->encode(samples.data() + f * frame, static_cast<int>(frame), payload.data());
    if (bytes < 0) return rejected("the " + std::string(info.name) + " encoder failed");
    if (id == CodecId::kOpus) {
      appendPacket(file, payload.data(), bytes);
    } else {
      file.insert(file.end(), payload.begin(), payload.begin() + bytes);
    }
  }
  if (!writeFile(out, file, error)) return rejected(error);
  const nlohmann::json report = {{"codec", info.name},
                                 {"frames", frames},
                                 {"samples", wav.samples.size()},
                                 {"bytes", file.size()}};
  std::printf("%s\n", report.dump().c_str());
  return kExitOk;
}

// Internal format back to 16 bits, rounded and held at the 16-bit limits.
void appendPcm(std::vector<int16_t>& out, const int32_t* decoded, int count) {
  for (int i = 0; i < count; ++i) {
    out.push_back(static_cast<int16_t>(std::clamp((decoded[i] + 8) >> 4, -32768, 32767)));
  }
}

struct Packet {
  size_t offset = 0;  // of its record in the file
  const uint8_t* bytes = nullptr;
  int length = 0;  // 0: lost
};

// The records of an Opus packet file; false with a reason for a damaged file.
bool splitPackets(const std::vector<uint8_t>& file, std::vector<Packet>& packets,
                  std::string& error) {
  for (size_t at = 0; at < file.size();) {
    if (file.size() - at < 2) {
      error = "a partial record length at byte " + std::to_string(at);
      return false;
    }
    const int length = file[at] << 8 | file[at + 1];
    if (file.size() - at - 2 < static_cast<size_t>(length)) {
      error = "the record at byte " + std::to_string(at) + " holds " + std::to_string(length) +
              " bytes but only " + std::to_string(file.size() - at - 2) + " follow";
      return false;
    }
    if (length > codecs::kOpusMaxDecodeBytes) {
      error = "the record at byte " + std::to_string(at) + " holds " + std::to_string(length) +
              " bytes, more than the " + std::to_string(codecs::kOpusMaxDecodeBytes) +
              " a packet may have";
      return false;
    }
    packets.push_back({at, file.data() + at + 2, length});
    at += 2 + length;
  }
  return true;
}

// Decodes an Opus packet file; lost packets from the next one's FEC data or concealed.
bool decodePackets(AudioCodec& codec, const std::vector<uint8_t>& file,
                   std::vector<int16_t>& samples, size_t& frames, size_t& lost,
                   std::string& error) {
  std::vector<Packet> packets;
  if (!splitPackets(file, packets, error)) return false;
  std::vector<int32_t> decoded(std::max(codec.maxDecodedSamples(1), codec.maxConcealedSamples()));
  for (size_t k = 0; k < packets.size(); ++k) {
    const Packet& p = packets[k];
    int n;
    if (p.length == 0) {
      const Packet* next = k + 1 < packets.size() ? &packets[k + 1] : nullptr;
      n = next ? codec.decodeLost(next->bytes, next->length, decoded.data())
               : codec.decodeLost(nullptr, 0, decoded.data());
      ++lost;
    } else {
      n = codec.decode(p.bytes, p.length, decoded.data());
      if (n < 0) {
        error = "the packet at byte " + std::to_string(p.offset) + " (" + std::to_string(p.length) +
                " bytes) is not a valid Opus packet";
        return false;
      }
    }
    appendPcm(samples, decoded.data(), n);
  }
  frames = packets.size();
  return true;
}

int decode(CodecId id, const std::string& in, const std::string& out) {
  const codecs::CodecInfo& info = codecs::codecInfo(id);
  std::vector<uint8_t> payload;
  std::string error;
  if (!readFile(in, payload, error)) return rejected(error);
  // G.711, G.726-32 and G.722 decode any number of bytes; GSM only whole frames.
  if (id == CodecId::kGsm && payload.size() % codecs::kGsmFrameBytes != 0) {
    return rejected(in + ": " + std::to_string(payload.size()) +
                    " bytes are not a whole number of 33-byte GSM frames");
  }
  std::unique_ptr<AudioCodec> codec = codecs::createAudioCodec(id);
  if (!codec) return rejected("cannot start the " + std::string(info.name) + " decoder");
  std::vector<int16_t> samples;
  size_t frames = 0;
  size_t lost = 0;
  if (id == CodecId::kOpus) {
    if (!decodePackets(*codec, payload, samples, frames, lost, error)) {
      return rejected(in + ": " + error);
    }
  } else {
    const size_t frameBytes = info.bytesPerFrame;
    std::vector<int32_t> decoded(codec->maxDecodedSamples(static_cast<int>(frameBytes)));
    for (size_t done = 0; done < payload.size(); done += frameBytes) {
      const size_t length = std::min(frameBytes, payload.size() - done);
      appendPcm(samples, decoded.data(),
                codec->decode(payload.data() + done, static_cast<int>(length), decoded.data()));
    }
    frames = (payload.size() + frameBytes - 1) / frameBytes;
  }
  if (!writeWav(out, info.sampleRate, 1, samples, error)) return rejected(error);
  nlohmann::json report = {{"codec", info.name},
                           {"frames", frames},
                           {"samples", samples.size()},
                           {"bytes", payload.size()}};
  if (id == CodecId::kOpus) report["lost"] = lost;
  std::printf("%s\n", report.dump().c_str());
  return kExitOk;
}

// The options after the file names of encode.
bool parseEncodeOptions(const Args& args, EncodeOptions& options, std::string& error) {
  for (size_t i = 4; i < args.size(); i += 2) {
    if (i + 1 >= args.size()) {
      error = args[i] + " needs a value";
      return false;
    }
    if (args[i] == "--bitrate") {
      if (!parseNumber(args[i + 1], 6000, 510000, options.bitRate)) {
        error = "--bitrate takes 6000 .. 510000, not '" + args[i + 1] + "'";
        return false;
      }
    } else if (args[i] == "--frame-ms") {
      if (args[i + 1] != "10" && args[i + 1] != "20") {
        error = "--frame-ms takes 10 or 20, not '" + args[i + 1] + "'";
        return false;
      }
      options.frameMs = args[i + 1] == "10" ? 10 : 20;
    } else {
      error = "unknown option '" + args[i] + "'";
      return false;
    }
    options.opusOptionGiven = true;
  }
  return true;
}

}  // namespace

int runCodec(const Args& args) {
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::printf("%s\n", kUsage);
    return kExitOk;
  }
  const bool encoding = !args.empty() && args[0] == "encode";
  if (args.size() < 4 || (!encoding && args[0] != "decode") || (!encoding && args.size() != 4)) {
    std::fprintf(stderr, "%s\n", kUsage);
    return kExitUsage;
  }
  const std::optional<CodecId> id = codecs::codecByName(args[1]);
  if (!id) return usageError("unknown codec '" + args[1] + "' (" + kCodecNames + ")");
  if (!encoding) return decode(*id, args[2], args[3]);
  EncodeOptions options;
  std::string error;
  if (!parseEncodeOptions(args, options, error)) return usageError(error);
  if (options.opusOptionGiven && *id != CodecId::kOpus) {
    return usageError("--bitrate and --frame-ms are for opus only");
  }
  return encode(*id, args[2], args[3], options);
}

}  // namespace quillet::tool
