// SPDX-License-Identifier: Apache-2.0
// Fuzz target: received multicast paging datagrams through the group paging reader and the
// choice of the page that plays; what is read must write back and read the same.
#include <cstddef>
#include <cstdint>

#include "media/paging_arbiter.h"
#include "media/paging_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quillet::media;
  GroupPagePacket packet;
  if (!readGroupPagePacket(data, size, packet)) return 0;
  PageArbiter arbiter([](const PageInfo& page) { return page.priority != 2; });
  PageInfo info;
  info.priority = packet.channel % 11;
  const PageKey key{0, packet.serial, packet.channel};
  arbiter.packet(key, info, packet.op == GroupPageOp::Alert, packet.sampleCount);
  arbiter.packet({0, packet.serial ^ 1u, packet.channel}, info, true, 0);
  if (packet.op == GroupPageOp::End) arbiter.end(key);
  arbiter.expire(packet.sampleCount + 5000);

  // Caller ids are cut to 13 bytes on writing and read up to their first NUL.
  if (packet.callerId.size() <= kGroupCallerIdBytes) {
    const std::vector<uint8_t> written = writeGroupPagePacket(packet);
    GroupPagePacket again;
    if (!readGroupPagePacket(written.data(), written.size(), again) || !(again == packet)) {
      __builtin_trap();
    }
  }
  return 0;
}
