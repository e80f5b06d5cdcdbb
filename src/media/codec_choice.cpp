// SPDX-License-Identifier: Apache-2.0
// The line's codec order, our offer's payload part and the choice from a far end's list.
#include "media/codec_choice.h"

#include <algorithm>
#include <cctype>

#include "base/log.h"
#include "base/text_builder.h"
#include "media/sdp_session.h"

namespace quillet::media {

namespace {

using codecs::CodecId;

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The name an rtpmap gives the codec, its RTP clock and channel count.
struct Mapping {
  const char* name;
  uint32_t clockRate;
  uint32_t channels;
};

Mapping mappingOf(CodecId id) {
  switch (id) {
    case CodecId::kPcmu:
      return {"PCMU", 8000, 1};
    case CodecId::kPcma:
      return {"PCMA", 8000, 1};
    case CodecId::kGsm:
      return {"GSM", 8000, 1};
    case CodecId::kG726_32:
      return {"G726-32", 8000, 1};
    case CodecId::kG726_32Aal2:
      return {"AAL2-G726-32", 8000, 1};
    case CodecId::kG722:
      return {"G722", 8000, 1};
    case CodecId::kOpus:
      return {"opus", 48000, 2};
  }
  return {"PCMU", 8000, 1};
}

// The codec a static payload number stands for without a mapping.
std::optional<CodecId> staticCodec(uint32_t type) {
  switch (type) {
    case 0:
      return CodecId::kPcmu;
    case 8:
      return CodecId::kPcma;
    case 3:
      return CodecId::kGsm;
    case 9:
      return CodecId::kG722;
    case 2:
      return CodecId::kG726_32;
    default:
      return std::nullopt;
  }
}

bool sameName(std::string_view a, std::string_view b) {
  return lowered(a) == lowered(b);
}

// The codec of one mapping, or nothing (logged) when its name is ours but the clock or
// channels are not.
std::optional<CodecId> mappedCodec(const RemoteSdp::Rtpmap& map) {
  for (CodecId id : {CodecId::kOpus, CodecId::kG722, CodecId::kPcmu, CodecId::kPcma, CodecId::kGsm,
                     CodecId::kG726_32, CodecId::kG726_32Aal2}) {
    const Mapping m = mappingOf(id);
    if (!sameName(map.name, m.name)) continue;
    // Opus is always "opus/48000/2", whatever the far end sends (RFC 7587).
    const uint32_t channels = map.channels == 0 ? 1 : map.channels;
    if (map.clockRate != m.clockRate || channels != m.channels) {
      base::logError("SDP: payload type " + std::to_string(map.type) + " " + cutText(map.name, 20) +
                     "/" + std::to_string(map.clockRate) + "/" + std::to_string(channels) +
                     " is not " + m.name + "/" + std::to_string(m.clockRate) +
                     (m.channels > 1 ? "/2" : "") + ": not taken");
      return std::nullopt;
    }
    return id;
  }
  return std::nullopt;
}

}  // namespace

bool isWideband(CodecId id) {
  return id == CodecId::kOpus || id == CodecId::kG722;
}

int32_t callRate(CodecId id) {
  return isWideband(id) ? 16000 : 8000;
}

std::vector<CodecId> defaultCodecOrder(int32_t quality) {
  if (quality < 50) {
    // G.722 takes as much as G.711.
    return {CodecId::kOpus, CodecId::kGsm,  CodecId::kG726_32, CodecId::kG726_32Aal2,
            CodecId::kG722, CodecId::kPcmu, CodecId::kPcma};
  }
  return {CodecId::kOpus,    CodecId::kG722,        CodecId::kPcmu, CodecId::kPcma,
          CodecId::kG726_32, CodecId::kG726_32Aal2, CodecId::kGsm};
}

std::vector<CodecId> parseCodecList(std::string_view text, std::vector<std::string>& problems) {
  std::vector<CodecId> order;
  size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && (text[pos] == ',' || text[pos] == ' ' || text[pos] == '\t')) ++pos;
    size_t end = pos;
    while (end < text.size() && text[end] != ',' && text[end] != ' ' && text[end] != '\t') ++end;
    if (end == pos) break;
    const std::string name = lowered(text.substr(pos, end - pos));
    pos = end;
    const std::optional<CodecId> id = codecs::codecByName(name);
    if (!id) {
      problems.push_back("unknown codec \"" + cutText(name, 40) + "\"");
    } else if (std::find(order.begin(), order.end(), *id) != order.end()) {
      problems.push_back("codec \"" + name + "\" named twice");
    } else {
      order.push_back(*id);
    }
  }
  return order;
}

std::string codecListText(const std::vector<CodecId>& order) {
  std::string text;
  for (CodecId id : order) {
    if (!text.empty()) text += ',';
    text += codecs::codecInfo(id).name;
  }
  return text;
}

int32_t highestRate(const std::vector<CodecId>& order) {
  int32_t rate = 8000;
  for (CodecId id : order) rate = std::max(rate, callRate(id));
  return rate;
}

std::string ownOpusFmtp() {
  // Calls run at 16000 Hz: wider audio would be coded for nothing.
  return "maxplaybackrate=16000;sprop-maxcapturerate=16000;useinbandfec=1";
}

std::string offerFormats(const std::vector<CodecId>& order) {
  base::TextBuilder list;
  base::TextBuilder maps;
  bool opus = false;
  for (CodecId id : order) {
    const codecs::CodecInfo& info = codecs::codecInfo(id);
    list.AppendFormat(" %d", info.payloadType);
    maps.AppendFormat("a=rtpmap:%d %s\r\n", info.payloadType, info.rtpmap);
    if (id == CodecId::kOpus) {
      opus = true;
      maps.AppendFormat("a=fmtp:%d %s\r\n", info.payloadType, ownOpusFmtp());
    }
  }
  list.Append(" 13 101");
  maps.Append("a=rtpmap:13 CN/8000\r\na=rtpmap:101 telephone-event/8000\r\na=fmtp:101 0-16\r\n");
  if (opus) {
    list.AppendFormat(" %d", kOfferedOpusEventType);
    maps.AppendFormat("a=rtpmap:%d telephone-event/48000\r\na=fmtp:%d 0-16\r\n",
                      kOfferedOpusEventType, kOfferedOpusEventType);
  }
  return std::string(list.view()) + "\r\n" + std::string(maps.view());
}

std::optional<CodecPick> firstCommonCodec(const RemoteSdp& remote,
                                          const std::vector<CodecId>& order) {
  std::string_view formats = remote.formatList;
  size_t pos = 0;
  while (pos < formats.size()) {
    while (pos < formats.size() && formats[pos] == ' ') ++pos;
    size_t end = pos;
    while (end < formats.size() && formats[end] != ' ') ++end;
    const std::string_view token = formats.substr(pos, end - pos);
    pos = end;
    if (token.empty() || token.size() > 3 ||
        !std::all_of(token.begin(), token.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    const auto type = static_cast<uint32_t>(std::stoul(std::string(token)));
    if (type > 127) continue;
    const RemoteSdp::Rtpmap* map = remote.mapping(static_cast<uint8_t>(type));
    const std::optional<CodecId> id = map != nullptr ? mappedCodec(*map) : staticCodec(type);
    if (!id || std::find(order.begin(), order.end(), *id) == order.end()) continue;
    return CodecPick{*id, static_cast<uint8_t>(type)};
  }
  return std::nullopt;
}

}  // namespace quillet::media
