// SPDX-License-Identifier: Apache-2.0
// A small strict RIFF/WAVE reader and a 16-bit PCM writer for quillet-tool and tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quillet::tool {

constexpr uint16_t kWavFormatPcm = 1;
constexpr uint16_t kWavFormatExtensible = 0xFFFE;

struct WavFile {
  uint16_t formatTag = 0;  // 1 PCM (an extensible header's PCM sub-format reads as 1)
  uint16_t channels = 0;
  uint32_t sampleRate = 0;
  uint16_t bitsPerSample = 0;
  std::vector<int16_t> samples;  // interleaved; filled for 16-bit PCM only
};

enum class WavStatus {
  kOk,           // 16-bit PCM, samples read
  kUnsupported,  // a valid WAVE file of another format: the header fields are filled
  kMalformed,    // not a WAVE file, or damaged
  kIoError,      // cannot open or read the file
};

// Parses a WAVE file image. On anything but kOk, error holds a one-line reason.
WavStatus parseWav(const uint8_t* data, size_t size, WavFile& out, std::string& error);
WavStatus readWav(const std::string& path, WavFile& out, std::string& error);

// Writes 16-bit PCM; answers false with a reason when the file cannot be written.
bool writeWav(const std::string& path, uint32_t sampleRate, uint16_t channels,
              const std::vector<int16_t>& samples, std::string& error);

// "8000 Hz mono 16-bit PCM" and the like, for messages.
std::string describeWavFormat(const WavFile& wav);

}  // namespace quillet::tool
