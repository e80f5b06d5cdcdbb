// SPDX-License-Identifier: Apache-2.0
// The WAVE reader and its file sources, the keypad tones and the temporary-audio clean-up.
#include "audio/wave_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "platform/paths.h"

namespace quillet::audio {

// Generated at build time (ring/make_ring.cpp).
extern const uint8_t kRingSoundWav[];
extern const size_t kRingSoundWavSize;

namespace {

constexpr uint32_t kMaxRate = 196000;
constexpr uint32_t kUnknownSize = 0xFFFFFFFF;

uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint16_t le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// Reads exactly n bytes at offset; false on a short read.
bool readAt(int fd, int64_t offset, void* out, size_t n) {
  auto* dst = static_cast<uint8_t*>(out);
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(fd, dst + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

// Reads up to n bytes at offset; answers how many.
size_t readSome(int fd, int64_t offset, void* out, size_t n) {
  auto* dst = static_cast<uint8_t*>(out);
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(fd, dst + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    done += static_cast<size_t>(r);
  }
  return done;
}

class WaveFileSource : public AudioSource {
 public:
  WaveFileSource(int fd, uint32_t rate, uint32_t channels, bool sixteen, int64_t dataOffset,
                 uint32_t dataBytes)
      : AudioSource(static_cast<int32_t>(rate), channels, kProgramPeakRange),
        fd_(fd),
        sixteen_(sixteen),
        frameBytes_(channels * (sixteen ? 2 : 1)),
        dataOffset_(dataOffset),
        growing_(dataBytes == kUnknownSize),
        length_(growing_ ? 0 : dataBytes / frameBytes_) {}
  ~WaveFileSource() override { ::close(fd_); }

  void Read(int32_t* buffer, uint32_t frames) override {
    const uint32_t c = channels_;
    uint32_t done = 0;
    if (position_ < 0) {  // silence still to come before the first sample
      const uint32_t zeros = static_cast<uint32_t>(std::min<int64_t>(frames, -position_));
      std::fill(buffer, buffer + static_cast<size_t>(zeros) * c, 0);
      done = zeros;
    }
    uint64_t want = frames - done;
    if (!growing_) {
      const uint64_t left = filePos_ < uint64_t{length_} * frameBytes_
                                ? (uint64_t{length_} * frameBytes_ - filePos_) / frameBytes_
                                : 0;
      want = std::min(want, left);
    }
    if (want > 0) {
      bytes_.resize(static_cast<size_t>(want) * frameBytes_);
      size_t got =
          readSome(fd_, dataOffset_ + static_cast<int64_t>(filePos_), bytes_.data(), bytes_.size());
      got -= got % frameBytes_;
      filePos_ += got;
      const size_t samples = got / (sixteen_ ? 2 : 1);
      int32_t* out = buffer + static_cast<size_t>(done) * c;
      if (sixteen_) {
        for (size_t i = 0; i < samples; ++i) {
          out[i] = static_cast<int16_t>(le16(bytes_.data() + 2 * i)) * 16;
        }
      } else {
        for (size_t i = 0; i < samples; ++i) out[i] = (int32_t{bytes_[i]} - 128) * 4096;
      }
      done += static_cast<uint32_t>(got / frameBytes_);
    }
    // Whatever the file did not deliver reads as silence.
    std::fill(buffer + static_cast<size_t>(done) * c, buffer + static_cast<size_t>(frames) * c, 0);
    position_ += frames;
  }

  uint32_t Position() override { return static_cast<uint32_t>(position_); }
  uint32_t Length() override {
    if (!growing_) return length_;
    // Still being written: the data chunk's size as it is now, or what the file holds.
    uint8_t size[4];
    uint64_t bytes = 0;
    if (readAt(fd_, dataOffset_ - 4, size, 4)) bytes = le32(size);
    if (bytes == 0 || bytes == kUnknownSize) {
      struct stat st {};
      if (::fstat(fd_, &st) == 0 && st.st_size > dataOffset_) {
        bytes = static_cast<uint64_t>(st.st_size - dataOffset_);
      } else {
        bytes = 0;
      }
    }
    return static_cast<uint32_t>(std::min<uint64_t>(bytes / frameBytes_, 0x7FFFFFFF));
  }
  void Seek(uint32_t frame) override {
    position_ = static_cast<int32_t>(frame);  // the upper half counts as negative
    if (position_ <= 0) {
      filePos_ = 0;
    } else {
      uint64_t f = static_cast<uint64_t>(position_);
      if (!growing_) f = std::min<uint64_t>(f, length_);
      filePos_ = f * frameBytes_;
    }
  }
  bool MoreComing() override { return growing_; }

 private:
  int fd_;
  bool sixteen_;
  uint32_t frameBytes_;
  int64_t dataOffset_;
  bool growing_;
  uint32_t length_;       // frames (when not growing)
  int64_t position_ = 0;  // frames; below 0 while silence is still to come
  uint64_t filePos_ = 0;  // bytes after the data offset
  std::vector<uint8_t> bytes_;
};

SourceRef fail(int fd, StreamError error) {
  if (fd >= 0) ::close(fd);
  return SourceRef(new NullSource(error));
}

const std::array<double, 4096>& sineTable() {
  static const std::array<double, 4096> table = [] {
    std::array<double, 4096> t{};
    for (size_t i = 0; i < t.size(); ++i) t[i] = std::sin(2.0 * std::numbers::pi * i / 4096.0);
    return t;
  }();
  return table;
}

struct KeyTone {
  char key;
  uint32_t high;
  uint32_t low;
};

constexpr KeyTone kKeyTones[] = {
    {'1', 1209, 697}, {'2', 1336, 697}, {'3', 1477, 697}, {'4', 1209, 770},
    {'5', 1336, 770}, {'6', 1477, 770}, {'7', 1209, 852}, {'8', 1336, 852},
    {'9', 1477, 852}, {'*', 1209, 941}, {'0', 1336, 941}, {'#', 1477, 941},
};

bool matches(const std::string& name, const char* suffix) {
  const size_t n = std::strlen(suffix);
  if (name.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    const char a =
        static_cast<char>(std::tolower(static_cast<unsigned char>(name[name.size() - n + i])));
    if (a != suffix[i]) return false;
  }
  return true;
}

}  // namespace

SourceRef OpenWaveFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(-1, StreamError::kCannotOpen);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return fail(fd, StreamError::kNotWave);
  return OpenWaveFd(fd);
}

SourceRef OpenWaveFd(int fd) {
  if (fd < 0) return fail(-1, StreamError::kCannotOpen);
  int64_t pos = 0;
  uint8_t head[12];
  // Find the RIFF/WAVE header, skipping any other chunks in front of it.
  for (;;) {
    if (!readAt(fd, pos, head, 12)) return fail(fd, StreamError::kNotWave);
    pos += 12;
    if (std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0) break;
    const uint64_t size = (uint64_t{le32(head + 4)} + 1) & ~uint64_t{1};
    if (size <= 4) return fail(fd, StreamError::kNotWave);
    pos += static_cast<int64_t>(size - 4);
  }
  // Chunk headers until "fmt "; others are skipped with their pad byte.
  uint8_t chunk[8];
  for (;;) {
    if (!readAt(fd, pos, chunk, 8)) return fail(fd, StreamError::kNotWave);
    pos += 8;
    if (std::memcmp(chunk, "fmt ", 4) == 0) break;
    pos += static_cast<int64_t>((uint64_t{le32(chunk + 4)} + 1) & ~uint64_t{1});
  }
  const uint32_t fmtSize = le32(chunk + 4);
  if (fmtSize < 16 || fmtSize > 8192) return fail(fd, StreamError::kNotWave);
  std::vector<uint8_t> fmt(std::max<uint32_t>(fmtSize, 18), 0);  // a short one: extra size 0
  if (!readAt(fd, pos, fmt.data(), fmtSize)) return fail(fd, StreamError::kNotWave);
  pos += static_cast<int64_t>((uint64_t{fmtSize} + 1) & ~uint64_t{1});
  // Chunk headers until "data".
  for (;;) {
    if (!readAt(fd, pos, chunk, 8)) return fail(fd, StreamError::kNotWave);
    pos += 8;
    if (std::memcmp(chunk, "data", 4) == 0) break;
    pos += static_cast<int64_t>((uint64_t{le32(chunk + 4)} + 1) & ~uint64_t{1});
  }
  const uint32_t dataBytes = le32(chunk + 4);
  const uint16_t tag = le16(fmt.data());
  const uint16_t channels = le16(fmt.data() + 2);
  const uint32_t rate = le32(fmt.data() + 4);
  const uint16_t bits = le16(fmt.data() + 14);
  if (tag != 1 || channels < 1 || channels > 255 || rate < 1 || rate > kMaxRate || bits < 1 ||
      bits > 16) {
    return fail(fd, StreamError::kUnsupported);
  }
  return SourceRef(new WaveFileSource(fd, rate, channels, bits > 8, pos, dataBytes));
}

void GenerateKeyTone(char key, int32_t* buffer, uint32_t frames, uint32_t rate) {
  const KeyTone* tone = nullptr;
  for (const KeyTone& k : kKeyTones) {
    if (k.key == key) tone = &k;
  }
  if (tone == nullptr || tone->high == 0 || rate == 0) {
    std::fill(buffer, buffer + frames, 0);
    return;
  }
  const auto& sine = sineTable();
  const uint32_t incH = (rate / 2 + tone->high * 4096) / rate;
  const uint32_t incL = (rate / 2 + tone->low * 4096) / rate;
  uint32_t phaseH = 0;
  uint32_t phaseL = 0;
  for (uint32_t i = 0; i < frames; ++i) {
    phaseL = (phaseL + incL) % 4096;
    phaseH = (phaseH + incH) % 4096;
    buffer[i] = static_cast<int32_t>((sine[phaseL] + sine[phaseH]) * 32768.0);
  }
}

std::span<const uint8_t> RingSound() {
  return {kRingSoundWav, kRingSoundWavSize};
}

int DeleteTemporaryAudio(const std::string& folder) {
  int deleted = 0;
  for (const char* suffix : {".aud", ".grf"}) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return deleted;
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
      const std::string name = e->d_name;
      if (matches(name, suffix)) names.push_back(name);
    }
    ::closedir(dir);
    for (const std::string& name : names) {
      const std::string path = platform::joinPath(folder, name);
      struct stat st {};
      if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid()) {
        continue;
      }
      if (::unlink(path.c_str()) == 0) ++deleted;
    }
  }
  return deleted;
}

int DeleteTemporaryAudio() {
  return DeleteTemporaryAudio(platform::tempDir());
}

}  // namespace quillet::audio
