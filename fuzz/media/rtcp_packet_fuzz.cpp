// SPDX-License-Identifier: Apache-2.0
// Fuzz target: received RTCP datagrams through the reader, the trace line and the reporter
// that reads the far end's reports; what is read must write back and read the same.
#include <cstddef>
#include <cstdint>

#include "media/rtcp_packet.h"
#include "media/rtcp_reporter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillet::media;
  isRtcpDatagram(data, size);
  RtcpCompound compound;
  if (!readRtcpCompound(data, size, compound)) return 0;
  rtcpTraceLine(1, "<<<", "[::1]:5", compound);
  RtcpReporter reporter;
  reporter.took(compound, size, 0x01020304, 0xE000000000000000ull, 100);
  reporter.makeReport(0x01020304, 0, 0, 200, 0.5, true);
  reporter.quality().logLine();

  // Names are cut to 255 bytes and reports to 31 blocks on writing, so a compound the reader
  // gave (at most that much) comes back whole.
  const std::vector<uint8_t> written = writeRtcpCompound(compound);
  RtcpCompound again;
  if (compound.cnames.size() <= 31 && compound.byes.size() <= 31 &&
      (!readRtcpCompound(written.data(), written.size(), again) || !(again == compound))) {
    __builtin_trap();
  }
  return 0;
}
