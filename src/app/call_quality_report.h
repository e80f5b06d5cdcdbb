// SPDX-License-Identifier: Apache-2.0
// The running call's figures as quillet-tool call stats prints them (the window formats its
// own, in the user's language).
#pragma once

#include <cstdint>
#include <string>

#include "sip/call_media.h"

namespace quillet::app {

// One line of JSON with the figures and how long the call has been up.
std::string qualityJson(const sip::CallFigures& figures, int64_t seconds);

}  // namespace quillet::app
