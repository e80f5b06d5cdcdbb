// SPDX-License-Identifier: Apache-2.0
// Fuzz target of the WAVE reader: any bytes as a file, then reads and seeks on the source.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "audio/wave_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("wave", MFD_CLOEXEC);
  if (fd < 0) return 0;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  quillet::audio::SourceRef s = quillet::audio::OpenWaveFd(fd);  // takes the descriptor
  if (s.isNull()) return 0;
  std::vector<int32_t> buf(static_cast<size_t>(512) * s->channels());
  // Read what it says it holds (bounded), then seek about and read again.
  uint32_t left = s->Length();
  for (int i = 0; i < 16 && left > 0; ++i) {
    const uint32_t n = left < 512 ? left : 512;
    s->Read(buf.data(), n);
    left -= n;
  }
  const uint32_t seeks[] = {0, 1, s->Length(), s->Length() + 1000, 0xFFFFFFF0u, 0x80000000u};
  for (uint32_t p : seeks) {
    s->Seek(p);
    s->Read(buf.data(), 512);
    (void)s->Position();
    (void)s->MoreComing();
  }
  return 0;
}
