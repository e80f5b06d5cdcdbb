// SPDX-License-Identifier: Apache-2.0
// The voice codecs a line offers and takes: their order (the line's Codecs setting or the
// default by quality), the payload part of our offer, and the first codec of a far end's
// list that this side has.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codecs/audio_codec.h"

namespace quillet::media {

struct RemoteSdp;

constexpr uint8_t kOfferedOpusEventType = 110;  // "telephone-event/48000" beside Opus

// Opus first; then G.722 and the narrowband ones with G.711 first at a quality of 50 and
// above, or GSM and G.726-32 first (then G.722 and G.711) below.
std::vector<codecs::CodecId> defaultCodecOrder(int32_t quality);

// Reads "opus, g722, pcmu" (names as quillet-tool takes them, any case, separated by
// commas or blanks). Unknown and repeated names are skipped with a line in `problems`;
// nothing usable answers an empty list (the default order is used).
std::vector<codecs::CodecId> parseCodecList(std::string_view text,
                                            std::vector<std::string>& problems);
// The list as the setting writes it ("opus,g722,pcmu").
std::string codecListText(const std::vector<codecs::CodecId>& order);

// The highest audio rate of the codecs in the list (8000 when it has only narrowband ones).
int32_t highestRate(const std::vector<codecs::CodecId>& order);
// The audio rate calls of this codec run at: 16000 for Opus and G.722 (wideband), 8000 for
// the narrowband ones.
int32_t callRate(codecs::CodecId id);

// Payload numbers and attribute lines of our offer: the codecs in order, comfort noise,
// telephone events (at 48000 too when Opus is offered). Starts with a blank.
std::string offerFormats(const std::vector<codecs::CodecId>& order);

// The Opus fmtp line of our offers and answers (without "a=fmtp:PT ").
std::string ownOpusFmtp();

struct CodecPick {
  codecs::CodecId id = codecs::CodecId::kPcmu;
  uint8_t payloadType = 255;
};

// The first voice codec of the far end's format list that is in `order`, with the payload
// type it goes under. Mappings this side cannot take ("opus/48000/1", "G722/16000") are
// skipped with a log line. Dynamic G.726-32 types count as G.726-32 by their mapping.
std::optional<CodecPick> firstCommonCodec(const RemoteSdp& remote,
                                          const std::vector<codecs::CodecId>& order);

bool isWideband(codecs::CodecId id);

}  // namespace quillet::media
