// SPDX-License-Identifier: Apache-2.0
// Sound files and tones: the WAVE reader (OpenWaveFile and its 8- and 16-bit file sources),
// the keypad tone generator, the embedded ring sound and the clean-up of temporary audio.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "audio/audio_stream.h"

namespace quillet::audio {

// Opens a PCM WAVE file as a source. A file that cannot be used gives a NullSource whose
// error() tells why: kCannotOpen, kNotWave or kUnsupported. A data chunk whose size is
// 0xFFFFFFFF is taken as still being written: its length is re-read at every Length call
// and MoreComing stays true. A size of 0 is an empty sound.
SourceRef OpenWaveFile(const std::string& path);
// The same on an open descriptor, which the source takes over (closed on every path).
SourceRef OpenWaveFd(int fd);

// Fills frames mono samples with the dual tone of a keypad key ("0".."9", "*", "#"); any
// other key gives silence. Each tone peaks at 32768 internal units.
void GenerateKeyTone(char key, int32_t* buffer, uint32_t frames, uint32_t rate);

// The ring sound built into the program: a RIFF/WAVE file, PCM 8000 Hz mono 16-bit, with an
// 18-byte "fmt " chunk and 20736 data bytes.
std::span<const uint8_t> RingSound();

// Deletes every "*.aud" file and then every "*.grf" file in the folder (only regular files
// of the current user). Answers the number deleted.
int DeleteTemporaryAudio(const std::string& folder);
// The same in the program's temporary folder ($TMPDIR or /tmp), at exit.
int DeleteTemporaryAudio();

}  // namespace quillet::audio
