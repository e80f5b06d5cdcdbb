// SPDX-License-Identifier: Apache-2.0
// The running call's figures as quillet-tool call stats prints them (the window formats its
// own, in the user's language).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sip/call_media.h"

namespace quillet::app {

// One line of JSON with the figures, how long the call has been up and its hold (holdText).
std::string qualityJson(const sip::CallFigures& figures, int64_t seconds, std::string_view hold);

// "none", "here" (held on this side), "there" (held by the far end) or "both".
std::string_view holdText(bool heldHere, bool heldThere);

}  // namespace quillet::app
