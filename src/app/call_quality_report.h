// SPDX-License-Identifier: Apache-2.0
// How the running call's figures are shown: the line of the window's status panel and the
// JSON that quillet-tool call stats prints.
#pragma once

#include <cstdint>
#include <string>

#include "sip/call_media.h"

namespace quillet::app {

// "PCMU/8000: sent 512, received 500, lost 3 (0.6 %), jitter 2 ms, round trip 41 ms"
// (round trip "-" before the far end's first report).
std::string qualityPanelText(const sip::CallFigures& figures);
// One line of JSON with the figures and how long the call has been up.
std::string qualityJson(const sip::CallFigures& figures, int64_t seconds);

}  // namespace quillet::app
