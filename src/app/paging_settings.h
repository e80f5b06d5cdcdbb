// SPDX-License-Identifier: Apache-2.0
// Paging settings and the rules of which pages may play. Section "Paging":
//   ListenN           "A.B.C.D:PORT" a plain RTP group to listen to (N = 1, 2, ...)
//   ListenNLabel      its name in the window and the log (default: the address)
//   ListenNPriority   1..10, a higher one takes over a lower; 9 priority, 10 emergency
//   ListenNOpusPayloadType  96..127: the RTP payload type of Opus pages (default 111)
//   GroupChannels     group paging channels to listen to ("1,24,25"; empty: none)
//   GroupAddress      group paging's group (default 224.0.1.116:5001)
//   GroupPriority     the priority of channels 1..23 (default 5; 24: 9, 25: 10)
//   Interface         the IPv4 address of the interface to page on (default SIP/LocalAddress)
//   DuringCall        ignore | mix | hold: a normal page while a call is up (default mix)
//   TrustedSenders    addresses that may send priority and emergency pages (empty: any)
//   Tone              1: a tone before each page (default 0)
//   SendGroup         where the window's Page command pages (default: Listen1)
//   CallerId          the group paging caller id sent (default: the line's display name)
//   Codec             pcmu | pcma | g722 | opus: what pages are sent with (default pcmu;
//                     opus to plain RTP groups only, with the group's Opus payload type)
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "media/paging_receiver.h"

namespace quillet::base {
class SettingsStore;
}

namespace quillet::app {

enum class DuringCall { Ignore, Mix, Hold };

struct PagingSettings {
  std::vector<media::PageListen> listens;
  uint32_t interfaceAddress = 0;
  DuringCall duringCall = DuringCall::Mix;
  std::vector<uint32_t> trusted;
  bool tone = false;
};

// Reads the section; entries that cannot work are logged and left out.
PagingSettings readPagingSettings(base::SettingsStore& store);
// Paging/Serial, else one made from the host's name: this sender's group paging serial.
uint32_t pagingSerial(base::SettingsStore& store);
// A -page value or the Page command's group: "A.B.C.D:PORT", "channel:N[@A.B.C.D:PORT]" or the
// label of a ListenN entry. Empty with `error` set when it is none of them.
std::optional<media::PageTarget> resolvePageTarget(const std::string& text,
                                                   const PagingSettings& paging,
                                                   std::string& error);

// The Opus payload type of pages sent to `target`: that of the ListenN group at the same
// address, else the default.
int pageOpusPayloadType(const media::PageTarget& target, const PagingSettings& paging);
// Paging/Codec; PCMU (and a log line) for a value that is no page codec.
codecs::CodecId pageSendCodec(base::SettingsStore& store);

// What the pages are admitted against; set on the GUI thread, read on the receiver's.
struct PagingGate {
  std::atomic<bool> doNotDisturb{false};
  std::atomic<bool> callUp{false};
  DuringCall duringCall = DuringCall::Mix;  // fixed while the receiver runs
  std::vector<uint32_t> trusted;            // fixed while the receiver runs
  // The SSRC and serial of the page this program sends (its own page is not played).
  std::atomic<bool> sending{false};
  std::atomic<uint32_t> ownSsrc{0};
  std::atomic<uint32_t> ownSerial{0};
};

enum class PageVerdict { Play, Own, NotTrusted, DoNotDisturb, InCall };
// Do-not-disturb lets only priority and emergency pages through; a normal page during a
// call plays unless DuringCall is ignore; with trusted senders set, priority and emergency
// pages from anyone else are refused.
PageVerdict judgePage(const media::PageInfo& page, const PagingGate& gate);
// What a page does to the call that is up.
enum class CallAction { None, Mix, Hold };
CallAction pageCallAction(media::PageLevel level, DuringCall duringCall);

}  // namespace quillet::app
