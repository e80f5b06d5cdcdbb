// SPDX-License-Identifier: Apache-2.0
// RIFF/WAVE reading (strict: whole chunks, fmt before data, sizes that fit the file) and
// 16-bit PCM writing.
#include "wav_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace quillet::tool {

namespace {

constexpr size_t kMaxFileBytes = size_t{1} << 30;  // a WAV beyond 1 GiB is refused

uint16_t le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
  put16(out, static_cast<uint16_t>(v));
  put16(out, static_cast<uint16_t>(v >> 16));
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

}  // namespace

WavStatus parseWav(const uint8_t* data, size_t size, WavFile& out, std::string& error) {
  out = WavFile{};
  if (size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WAVE", 4) != 0) {
    error = "not a RIFF/WAVE file";
    return WavStatus::kMalformed;
  }
  const uint32_t riffSize = le32(data + 4);
  if (riffSize < 4 || riffSize > size - 8) {
    error = "RIFF size " + std::to_string(riffSize) + " does not match the file size";
    return WavStatus::kMalformed;
  }
  const size_t end = 8 + static_cast<size_t>(riffSize);
  size_t pos = 12;
  bool haveFmt = false;
  while (pos < end) {
    if (end - pos < 8) {
      error = "truncated chunk header";
      return WavStatus::kMalformed;
    }
    const uint8_t* chunk = data + pos;
    const uint32_t chunkSize = le32(chunk + 4);
    if (chunkSize > end - pos - 8) {
      error = "chunk '" + std::string(reinterpret_cast<const char*>(chunk), 4) +
              "' is longer than the file";
      return WavStatus::kMalformed;
    }
    const uint8_t* body = chunk + 8;
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (haveFmt || chunkSize < 16) {
        error = haveFmt ? "two fmt chunks" : "fmt chunk too short";
        return WavStatus::kMalformed;
      }
      haveFmt = true;
      out.formatTag = le16(body);
      out.channels = le16(body + 2);
      out.sampleRate = le32(body + 4);
      const uint16_t blockAlign = le16(body + 12);
      out.bitsPerSample = le16(body + 14);
      if (out.formatTag == kWavFormatExtensible) {
        // The sub-format GUID starts with the plain format tag.
        if (chunkSize < 40) {
          error = "extensible fmt chunk too short";
          return WavStatus::kMalformed;
        }
        out.formatTag = le16(body + 24);
      }
      if (out.channels == 0 || out.sampleRate == 0 || out.bitsPerSample == 0 ||
          blockAlign != out.channels * ((out.bitsPerSample + 7) / 8)) {
        error = "inconsistent fmt chunk";
        return WavStatus::kMalformed;
      }
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!haveFmt) {
        error = "data chunk before fmt chunk";
        return WavStatus::kMalformed;
      }
      if (out.formatTag != kWavFormatPcm || out.bitsPerSample != 16) {
        error = "unsupported format: " + describeWavFormat(out) + " (16-bit PCM only)";
        return WavStatus::kUnsupported;
      }
      const size_t frameBytes = 2u * out.channels;
      if (chunkSize % frameBytes != 0) {
        error = "data chunk is not a whole number of sample frames";
        return WavStatus::kMalformed;
      }
      out.samples.resize(chunkSize / 2);
      for (size_t i = 0; i < out.samples.size(); ++i) {
        out.samples[i] = static_cast<int16_t>(le16(body + 2 * i));
      }
      return WavStatus::kOk;
    }
    pos += 8 + static_cast<size_t>(chunkSize) + (chunkSize & 1);  // odd chunks are padded
  }
  error = haveFmt ? "no data chunk" : "no fmt chunk";
  return WavStatus::kMalformed;
}

WavStatus readWav(const std::string& path, WavFile& out, std::string& error) {
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return WavStatus::kIoError;
  }
  std::vector<uint8_t> bytes;
  uint8_t buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    if (bytes.size() + got > kMaxFileBytes) {
      error = path + ": file too large";
      return WavStatus::kMalformed;
    }
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  if (std::ferror(file.get())) {
    error = "cannot read " + path;
    return WavStatus::kIoError;
  }
  const WavStatus status = parseWav(bytes.data(), bytes.size(), out, error);
  if (status != WavStatus::kOk) error = path + ": " + error;
  return status;
}

bool writeWav(const std::string& path, uint32_t sampleRate, uint16_t channels,
              const std::vector<int16_t>& samples, std::string& error) {
  const uint64_t dataBytes = 2u * static_cast<uint64_t>(samples.size());
  if (channels == 0 || sampleRate == 0 || dataBytes > 0xFFFFFFFFu - 36) {
    error = "cannot write " + path + ": invalid format or too many samples";
    return false;
  }
  std::vector<uint8_t> header;
  header.insert(header.end(), {'R', 'I', 'F', 'F'});
  put32(header, static_cast<uint32_t>(36 + dataBytes));
  header.insert(header.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  put32(header, 16);
  put16(header, kWavFormatPcm);
  put16(header, channels);
  put32(header, sampleRate);
  put32(header, sampleRate * 2u * channels);
  put16(header, static_cast<uint16_t>(2 * channels));
  put16(header, 16);
  header.insert(header.end(), {'d', 'a', 't', 'a'});
  put32(header, static_cast<uint32_t>(dataBytes));
  std::vector<uint8_t> body;
  body.reserve(dataBytes);
  for (int16_t s : samples) put16(body, static_cast<uint16_t>(s));

  FilePtr file(std::fopen(path.c_str(), "wb"));
  if (!file) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  if (std::fwrite(header.data(), 1, header.size(), file.get()) != header.size() ||
      std::fwrite(body.data(), 1, body.size(), file.get()) != body.size() ||
      std::fflush(file.get()) != 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

std::string describeWavFormat(const WavFile& wav) {
  std::string text = std::to_string(wav.sampleRate) + " Hz ";
  if (wav.channels == 1) {
    text += "mono";
  } else if (wav.channels == 2) {
    text += "stereo";
  } else {
    text += std::to_string(wav.channels) + " channels";
  }
  text += " " + std::to_string(wav.bitsPerSample) + "-bit ";
  if (wav.formatTag == kWavFormatPcm) {
    text += "PCM";
  } else if (wav.formatTag == 3) {
    text += "float";
  } else if (wav.formatTag == 6) {
    text += "A-law";
  } else if (wav.formatTag == 7) {
    text += "mu-law";
  } else {
    text += "format " + std::to_string(wav.formatTag);
  }
  return text;
}

}  // namespace quillet::tool
