// SPDX-License-Identifier: Apache-2.0
// Paging settings read from the settings file, and the admission rules of pages.
#include "app/paging_settings.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>

#include "base/log.h"
#include "base/settings_store.h"
#include "platform/socket.h"

namespace quillet::app {

namespace {

constexpr int32_t kMostListens = 32;
constexpr char kSection[] = "Paging";

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> items;
  std::string item;
  for (char c : text + ",") {
    if (c == ',' || c == ' ' || c == ';') {
      if (!item.empty()) items.push_back(item);
      item.clear();
    } else {
      item += c;
    }
  }
  return items;
}

int32_t readPriority(base::SettingsStore& store, const std::string& name, int32_t fallback) {
  const int32_t priority = store.readInt(kSection, name, fallback);
  if (priority < 1 || priority > 10) {
    base::logError("Paging: " + name + " is not 1 to 10; " + std::to_string(fallback) + " used");
    return fallback;
  }
  return priority;
}

void readGroupPaging(base::SettingsStore& store, PagingSettings& paging) {
  const std::string channels = store.readText(kSection, "GroupChannels");
  if (channels.empty()) return;
  media::PageListen listen;
  const std::string address = store.readText(kSection, "GroupAddress");
  std::optional<media::PageTarget> group =
      media::parsePageTarget("channel:1" + (address.empty() ? std::string() : "@" + address));
  if (!group) {
    base::logError("Paging: GroupAddress \"" + address +
                   "\" is not a multicast A.B.C.D:PORT; group paging is off");
    return;
  }
  listen.target = *group;
  listen.label = "Group paging";
  listen.priority = readPriority(store, "GroupPriority", 5);
  for (const std::string& item : splitList(channels)) {
    uint32_t channel = 0;
    const auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), channel);
    if (error != std::errc() || end != item.data() + item.size() ||
        channel < media::kGroupChannelFirst || channel > media::kGroupChannelLast) {
      base::logError("Paging: GroupChannels item \"" + item +
                     "\" is not a channel 1 to 25; ignored");
      continue;
    }
    listen.channels.push_back(static_cast<uint8_t>(channel));
  }
  if (!listen.channels.empty()) paging.listens.push_back(std::move(listen));
}

}  // namespace

PagingSettings readPagingSettings(base::SettingsStore& store) {
  PagingSettings paging;
  for (int32_t n = 1; n <= kMostListens; ++n) {
    const std::string name = "Listen" + std::to_string(n);
    const std::string address = store.readText(kSection, name);
    if (address.empty()) continue;
    const std::optional<media::PageTarget> target = media::parseGroupAddress(address);
    if (!target) {
      base::logError("Paging: " + name + " \"" + address +
                     "\" is not a multicast A.B.C.D:PORT; ignored");
      continue;
    }
    media::PageListen listen;
    listen.target = *target;
    listen.label = store.readText(kSection, name + "Label");
    if (listen.label.empty()) listen.label = address;
    listen.priority = readPriority(store, name + "Priority", 1);
    listen.opusPayloadType =
        store.readInt(kSection, name + "OpusPayloadType", media::kPageOpusPayloadType);
    if (!media::isDynamicPayloadType(listen.opusPayloadType)) {
      base::logError("Paging: " + name + "OpusPayloadType is not 96 to 127; " +
                     std::to_string(media::kPageOpusPayloadType) + " used");
      listen.opusPayloadType = media::kPageOpusPayloadType;
    }
    paging.listens.push_back(std::move(listen));
  }
  readGroupPaging(store, paging);
  std::string interface = store.readText(kSection, "Interface");
  if (interface.empty()) interface = store.readText("SIP", "LocalAddress");
  if (!interface.empty() && !platform::parseDottedQuad(interface, paging.interfaceAddress)) {
    base::logError("Paging: Interface \"" + interface +
                   "\" is not an IPv4 address; the default used");
    paging.interfaceAddress = 0;
  }
  const std::string during = store.readText(kSection, "DuringCall");
  if (strcasecmp(during.c_str(), "ignore") == 0) {
    paging.duringCall = DuringCall::Ignore;
  } else if (strcasecmp(during.c_str(), "hold") == 0) {
    paging.duringCall = DuringCall::Hold;
  } else if (!during.empty() && strcasecmp(during.c_str(), "mix") != 0) {
    base::logError("Paging: DuringCall \"" + during + "\" is not ignore, mix or hold; mix used");
  }
  for (const std::string& item : splitList(store.readText(kSection, "TrustedSenders"))) {
    uint32_t address = 0;
    if (platform::parseDottedQuad(item, address)) {
      paging.trusted.push_back(address);
    } else {
      base::logError("Paging: TrustedSenders item \"" + item +
                     "\" is not an IPv4 address; ignored");
    }
  }
  paging.tone = store.readBool(kSection, "Tone", false);
  return paging;
}

uint32_t pagingSerial(base::SettingsStore& store) {
  const std::string text = store.readText(kSection, "Serial");
  uint32_t serial = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), serial, 16);
  if (!text.empty() && error == std::errc() && end == text.data() + text.size()) return serial;
  if (!text.empty()) base::logError("Paging: Serial \"" + text + "\" is not hexadecimal; ignored");
  // FNV-1a of the host name: stable across starts, different between hosts.
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  uint32_t hash = 2166136261u;
  for (const char* c = host; *c != 0; ++c) hash = (hash ^ static_cast<uint8_t>(*c)) * 16777619u;
  return hash;
}

std::optional<media::PageTarget> resolvePageTarget(const std::string& text,
                                                   const PagingSettings& paging,
                                                   std::string& error) {
  if (std::optional<media::PageTarget> target = media::parsePageTarget(text)) return target;
  for (const media::PageListen& listen : paging.listens) {
    if (!listen.target.grouped && strcasecmp(listen.label.c_str(), text.c_str()) == 0) {
      return listen.target;
    }
  }
  error = "'" + text + "' is neither a multicast A.B.C.D:PORT, channel:N[@A.B.C.D:PORT] nor the " +
          "label of a Paging/ListenN group";
  return std::nullopt;
}

int pageOpusPayloadType(const media::PageTarget& target, const PagingSettings& paging) {
  for (const media::PageListen& listen : paging.listens) {
    if (!listen.target.grouped && listen.target.address == target.address &&
        listen.target.port == target.port) {
      return listen.opusPayloadType;
    }
  }
  return media::kPageOpusPayloadType;
}

codecs::CodecId pageSendCodec(base::SettingsStore& store) {
  const std::string name = store.readText(kSection, "Codec");
  for (const codecs::CodecId codec : {codecs::CodecId::kPcmu, codecs::CodecId::kPcma,
                                      codecs::CodecId::kG722, codecs::CodecId::kOpus}) {
    if (strcasecmp(name.c_str(), codecs::codecInfo(codec).name) == 0) return codec;
  }
  if (!name.empty()) {
    base::logError("Paging: Codec \"" + name + "\" is not pcmu, pcma, g722 or opus; pcmu used");
  }
  return codecs::CodecId::kPcmu;
}

PageVerdict judgePage(const media::PageInfo& page, const PagingGate& gate) {
  if (gate.sending.load() &&
      (page.senderId == gate.ownSsrc.load() || page.senderId == gate.ownSerial.load())) {
    return PageVerdict::Own;
  }
  const uint32_t source = page.sourceAddress;
  if (page.level != media::PageLevel::Normal && !gate.trusted.empty() &&
      std::find(gate.trusted.begin(), gate.trusted.end(), source) == gate.trusted.end()) {
    return PageVerdict::NotTrusted;
  }
  if (page.level == media::PageLevel::Normal && gate.doNotDisturb.load()) {
    return PageVerdict::DoNotDisturb;
  }
  if (page.level == media::PageLevel::Normal && gate.callUp.load() &&
      gate.duringCall == DuringCall::Ignore) {
    return PageVerdict::InCall;
  }
  return PageVerdict::Play;
}

CallAction pageCallAction(media::PageLevel level, DuringCall duringCall) {
  if (level != media::PageLevel::Normal || duringCall == DuringCall::Hold) return CallAction::Hold;
  return duringCall == DuringCall::Mix ? CallAction::Mix : CallAction::None;
}

}  // namespace quillet::app
