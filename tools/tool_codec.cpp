// SPDX-License-Identifier: Apache-2.0
// quillet-tool codec: encodes an 8000 Hz mono 16-bit WAV into concatenated RTP payloads
// of one codec, and decodes such payloads back into a WAV.
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
#include "tool.h"
#include "wav_io.h"

namespace quillet::tool {

namespace {

using codecs::AudioCodec;
using codecs::CodecId;

constexpr const char* kUsage =
    "usage: quillet-tool codec encode NAME IN.wav OUT | decode NAME IN OUT.wav\n"
    "  NAME: pcmu, pcma, g726-32, aal2-g726-32, gsm. The WAV is 8000 Hz mono 16-bit PCM;\n"
    "  the encoded file is the concatenated RTP payloads (160, 160, 80 or 33 bytes per\n"
    "  20 ms; g726-32 puts the earlier sample in the low four bits, aal2-g726-32 in the high\n"
    "  four), a partial last frame padded with zeros. decode prints and writes what it\n"
    "  decoded.";

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

int encode(CodecId id, const std::string& in, const std::string& out) {
  WavFile wav;
  std::string error;
  const WavStatus status = readWav(in, wav, error);
  if (status == WavStatus::kUnsupported) {
    return rejected(in + ": " + describeWavFormat(wav) + " is not 8000 Hz mono 16-bit PCM");
  }
  if (status != WavStatus::kOk) return rejected(error);
  if (wav.sampleRate != 8000 || wav.channels != 1) {
    return rejected(in + ": " + describeWavFormat(wav) + " is not 8000 Hz mono 16-bit PCM");
  }
  // Whole 20 ms frames; a partial last frame is padded with zeros.
  const size_t frames = (wav.samples.size() + codecs::kFrameSamples - 1) / codecs::kFrameSamples;
  std::vector<int32_t> samples(frames * codecs::kFrameSamples, 0);
  for (size_t i = 0; i < wav.samples.size(); ++i) samples[i] = wav.samples[i] * 16;

  std::unique_ptr<AudioCodec> codec = codecs::createAudioCodec(id);
  const int frameBytes = codecs::codecInfo(id).bytesPerFrame;
  std::vector<uint8_t> payload(frames * frameBytes);
  for (size_t f = 0; f < frames; ++f) {
    codec->encode(samples.data() + f * codecs::kFrameSamples, codecs::kFrameSamples,
                  payload.data() + f * frameBytes);
  }
  if (!writeFile(out, payload, error)) return rejected(error);
  const nlohmann::json report = {{"codec", codecs::codecInfo(id).name},
                                 {"frames", frames},
                                 {"samples", wav.samples.size()},
                                 {"bytes", payload.size()}};
  std::printf("%s\n", report.dump().c_str());
  return kExitOk;
}

int decode(CodecId id, const std::string& in, const std::string& out) {
  std::vector<uint8_t> payload;
  std::string error;
  if (!readFile(in, payload, error)) return rejected(error);
  // G.711 and G.726-32 decode any number of bytes; GSM only whole frames.
  if (id == CodecId::kGsm && payload.size() % codecs::kGsmFrameBytes != 0) {
    return rejected(in + ": " + std::to_string(payload.size()) +
                    " bytes are not a whole number of 33-byte GSM frames");
  }
  std::unique_ptr<AudioCodec> codec = codecs::createAudioCodec(id);
  const size_t frameBytes = codecs::codecInfo(id).bytesPerFrame;
  std::vector<int16_t> samples;
  int32_t decoded[2 * codecs::kFrameSamples];
  for (size_t done = 0; done < payload.size(); done += frameBytes) {
    const size_t length = std::min(frameBytes, payload.size() - done);
    const int n = codec->decode(payload.data() + done, static_cast<int>(length), decoded);
    for (int i = 0; i < n; ++i) {
      // Internal format back to 16 bits, rounded and held at the 16-bit limits.
      const int32_t v = (decoded[i] + 8) >> 4;
      samples.push_back(static_cast<int16_t>(std::clamp(v, -32768, 32767)));
    }
  }
  if (!writeWav(out, 8000, 1, samples, error)) return rejected(error);
  const nlohmann::json report = {{"codec", codecs::codecInfo(id).name},
                                 {"frames", (payload.size() + frameBytes - 1) / frameBytes},
                                 {"samples", samples.size()},
                                 {"bytes", payload.size()}};
  std::printf("%s\n", report.dump().c_str());
  return kExitOk;
}

}  // namespace

int runCodec(const Args& args) {
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::printf("%s\n", kUsage);
    return kExitOk;
  }
  if (args.size() != 4 || (args[0] != "encode" && args[0] != "decode")) {
    std::fprintf(stderr, "%s\n", kUsage);
    return kExitUsage;
  }
  const std::optional<CodecId> id = codecs::codecByName(args[1]);
  if (!id) {
    return usageError("unknown codec '" + args[1] + "' (pcmu, pcma, g726-32, aal2-g726-32, gsm)");
  }
  return args[0] == "encode" ? encode(*id, args[2], args[3]) : decode(*id, args[2], args[3]);
}

}  // namespace quillet::tool
