// SPDX-License-Identifier: Apache-2.0
// The WAV files behind the "file:" devices: a header parser for untrusted files, a reader
// that hands out 16-bit frames, and a 16-bit writer whose header stays valid while it writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quillet::platform {

struct WavInfo {
  uint16_t encoding = 0;  // 1 integer PCM, 3 IEEE float
  uint32_t rate = 0;
  uint16_t channels = 0;
  uint16_t bitsPerSample = 0;
  uint16_t blockAlign = 0;  // bytes per frame
  uint64_t dataOffset = 0;
  uint64_t dataBytes = 0;  // cut to what the file really holds
};

// Reads `size` bytes at `offset` into `buf`; answers the bytes read.
using WavReadAt = std::function<size_t(uint64_t offset, void* buf, size_t size)>;

// Walks the RIFF chunks of a file of fileSize bytes. Accepts 8/16/24/32-bit integer PCM and
// 32-bit float, 1..256 channels, 1..768000 Hz. On failure answers false with a reason.
bool parseWavHeader(const WavReadAt& readAt, uint64_t fileSize, WavInfo& info, std::string& error);

// Converts `frames` frames of raw data in the file's format to 16-bit samples (all channels).
void wavFramesToInt16(const WavInfo& info, const uint8_t* raw, size_t frames, int16_t* out);

class WavFileReader {
 public:
  WavFileReader() = default;
  ~WavFileReader();
  WavFileReader(const WavFileReader&) = delete;
  WavFileReader& operator=(const WavFileReader&) = delete;

  bool open(const std::string& path, std::string& error);
  void close();
  const WavInfo& info() const { return info_; }
  // Reads up to `frames` frames as 16-bit samples with the file's channel count; answers the
  // frames read (0 at the end of the data).
  size_t read(int16_t* out, size_t frames);

 private:
  int fd_ = -1;
  WavInfo info_;
  uint64_t framesLeft_ = 0;
  uint64_t offset_ = 0;
  std::vector<uint8_t> raw_;
};

class WavFileWriter {
 public:
  WavFileWriter() = default;
  ~WavFileWriter();
  WavFileWriter(const WavFileWriter&) = delete;
  WavFileWriter& operator=(const WavFileWriter&) = delete;

  // Creates (truncates) the file and writes a header for 0 data bytes.
  bool create(const std::string& path, uint32_t rate, uint16_t channels, std::string& error);
  // Appends frames and rewrites the two size fields, so the file is a valid WAV after every
  // call. Stops growing short of the 4 GiB RIFF limit.
  bool write(const int16_t* samples, size_t frames);
  void close();
  bool isOpen() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  uint16_t channels_ = 0;
  uint64_t dataBytes_ = 0;
  std::vector<uint8_t> bytes_;
};

}  // namespace quillet::platform
