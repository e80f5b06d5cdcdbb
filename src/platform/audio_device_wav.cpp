// SPDX-License-Identifier: Apache-2.0
// WAV header parsing, 16-bit reading and a writer that keeps its header valid.
#include "platform/audio_device_wav.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace quillet::platform {
namespace {

uint16_t le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool writeAll(int fd, const void* data, size_t size, off_t offset) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ssize_t n = pwrite(fd, p, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

constexpr uint16_t kExtensible = 0xFFFE;
constexpr uint64_t kMaxChunks = 4096;  // a file of endless tiny chunks is refused, not walked
constexpr uint32_t kRiffLimit = 0xFFFFFFFFu - 64;

}  // namespace

bool parseWavHeader(const WavReadAt& readAt, uint64_t fileSize, WavInfo& info, std::string& error) {
  info = WavInfo{};
  uint8_t riff[12];
  if (fileSize < 12 || readAt(0, riff, 12) != 12) {
    error = "file too short for a WAV header";
    return false;
  }
  if (std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
    error = "not a RIFF WAVE file";
    return false;
  }
  bool haveFmt = false;
  uint64_t offset = 12;
  for (uint64_t count = 0; count < kMaxChunks && offset + 8 <= fileSize; ++count) {
    uint8_t head[8];
    if (readAt(offset, head, 8) != 8) break;
    const uint64_t size = le32(head + 4);
    const uint64_t body = offset + 8;
    if (std::memcmp(head, "fmt ", 4) == 0) {
      uint8_t fmt[40] = {};
      if (size < 16) {
        error = "fmt chunk too short";
        return false;
      }
      const size_t want = static_cast<size_t>(std::min<uint64_t>(size, sizeof fmt));
      if (readAt(body, fmt, want) != want) {
        error = "fmt chunk cut short";
        return false;
      }
      info.encoding = le16(fmt);
      info.channels = le16(fmt + 2);
      info.rate = le32(fmt + 4);
      info.blockAlign = le16(fmt + 12);
      info.bitsPerSample = le16(fmt + 14);
      if (info.encoding == kExtensible) {
        if (want < 26) {
          error = "extensible fmt chunk too short";
          return false;
        }
        info.encoding = le16(fmt + 24);  // first two bytes of the sub-format GUID
      }
      haveFmt = true;
    } else if (std::memcmp(head, "data", 4) == 0) {
      if (!haveFmt) {
        error = "data chunk before fmt chunk";
        return false;
      }
      info.dataOffset = body;
      info.dataBytes = std::min<uint64_t>(size, fileSize - body);
      break;
    }
    offset = body + size + (size & 1);
  }
  if (!haveFmt || info.dataOffset == 0) {
    error = haveFmt ? "no data chunk" : "no fmt chunk";
    return false;
  }
  const bool pcm = info.encoding == 1 && (info.bitsPerSample == 8 || info.bitsPerSample == 16 ||
                                          info.bitsPerSample == 24 || info.bitsPerSample == 32);
  const bool flt = info.encoding == 3 && info.bitsPerSample == 32;
  if (!pcm && !flt) {
    error = "unsupported sample encoding " + std::to_string(info.encoding) + "/" +
            std::to_string(info.bitsPerSample) + " bit";
    return false;
  }
  if (info.channels < 1 || info.channels > 256 || info.rate < 1 || info.rate > 768000) {
    error = "unsupported channel count or rate";
    return false;
  }
  const uint32_t frameBytes = info.channels * (info.bitsPerSample / 8u);
  if (info.blockAlign != frameBytes) {
    error = "block align does not match the sample format";
    return false;
  }
  info.dataBytes -= info.dataBytes % frameBytes;
  return true;
}

void wavFramesToInt16(const WavInfo& info, const uint8_t* raw, size_t frames, int16_t* out) {
  const size_t samples = frames * info.channels;
  switch (info.bitsPerSample) {
    case 8:
      for (size_t i = 0; i < samples; ++i) out[i] = static_cast<int16_t>((raw[i] - 128) * 256);
      break;
    case 16:
      for (size_t i = 0; i < samples; ++i) out[i] = static_cast<int16_t>(le16(raw + 2 * i));
      break;
    case 24:
      for (size_t i = 0; i < samples; ++i) out[i] = static_cast<int16_t>(le16(raw + 3 * i + 1));
      break;
    case 32:
      for (size_t i = 0; i < samples; ++i) {
        const uint32_t bits = le32(raw + 4 * i);
        if (info.encoding == 3) {
          float f;
          std::memcpy(&f, &bits, sizeof f);
          if (!std::isfinite(f)) f = 0.0f;
          const float v = std::clamp(f * 32768.0f, -32768.0f, 32767.0f);
          out[i] = static_cast<int16_t>(std::lrintf(v));
        } else {
          out[i] = static_cast<int16_t>(bits >> 16);
        }
      }
      break;
    default:
      std::fill(out, out + samples, int16_t{0});
  }
}

WavFileReader::~WavFileReader() {
  close();
}

bool WavFileReader::open(const std::string& path, std::string& error) {
  close();
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = path + " is not a regular file";
    close();
    return false;
  }
  const int fd = fd_;
  auto readAt = [fd](uint64_t offset, void* buf, size_t size) -> size_t {
    size_t done = 0;
    while (done < size) {
      ssize_t n = pread(fd, static_cast<uint8_t*>(buf) + done, size - done,
                        static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    return done;
  };
  if (!parseWavHeader(readAt, static_cast<uint64_t>(st.st_size), info_, error)) {
    error = path + ": " + error;
    close();
    return false;
  }
  framesLeft_ = info_.dataBytes / info_.blockAlign;
  offset_ = info_.dataOffset;
  return true;
}

void WavFileReader::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  framesLeft_ = 0;
}

size_t WavFileReader::read(int16_t* out, size_t frames) {
  if (fd_ < 0) return 0;
  frames = static_cast<size_t>(std::min<uint64_t>(frames, framesLeft_));
  if (frames == 0) return 0;
  raw_.resize(frames * info_.blockAlign);
  size_t got = 0;
  while (got < raw_.size()) {
    ssize_t n = pread(fd_, raw_.data() + got, raw_.size() - got, static_cast<off_t>(offset_ + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  const size_t whole = got / info_.blockAlign;
  if (whole < frames) framesLeft_ = whole;  // the file shrank under us: end here
  wavFramesToInt16(info_, raw_.data(), whole, out);
  offset_ += whole * info_.blockAlign;
  framesLeft_ -= whole;
  return whole;
}

WavFileWriter::~WavFileWriter() {
  close();
}

bool WavFileWriter::create(const std::string& path, uint32_t rate, uint16_t channels,
                           std::string& error) {
  close();
  if (channels < 1 || rate < 1) {
    error = "bad WAV format";
    return false;
  }
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  channels_ = channels;
  dataBytes_ = 0;
  uint8_t h[44];
  std::memcpy(h, "RIFF", 4);
  put32(h + 4, 36);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  put32(h + 16, 16);
  put16(h + 20, 1);
  put16(h + 22, channels);
  put32(h + 24, rate);
  put32(h + 28, rate * channels * 2u);
  put16(h + 32, static_cast<uint16_t>(channels * 2));
  put16(h + 34, 16);
  std::memcpy(h + 36, "data", 4);
  put32(h + 40, 0);
  if (!writeAll(fd_, h, sizeof h, 0)) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    close();
    return false;
  }
  return true;
}

bool WavFileWriter::write(const int16_t* samples, size_t frames) {
  if (fd_ < 0) return false;
  uint64_t bytes = static_cast<uint64_t>(frames) * channels_ * 2;
  if (dataBytes_ + bytes > kRiffLimit - 36) return false;
  bytes_.resize(bytes);
  for (size_t i = 0; i < frames * channels_; ++i)
    put16(bytes_.data() + 2 * i, static_cast<uint16_t>(samples[i]));
  if (!writeAll(fd_, bytes_.data(), bytes_.size(), static_cast<off_t>(44 + dataBytes_)))
    return false;
  dataBytes_ += bytes;
  uint8_t size[4];
  put32(size, static_cast<uint32_t>(36 + dataBytes_));
  bool ok = writeAll(fd_, size, 4, 4);
  put32(size, static_cast<uint32_t>(dataBytes_));
  return writeAll(fd_, size, 4, 40) && ok;
}

void WavFileWriter::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace quillet::platform
