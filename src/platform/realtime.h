// SPDX-License-Identifier: Apache-2.0
// Real-time scheduling for the program's audio device threads, asked of the desktop's rtkit
// over the system D-Bus (the way desktop sound programs get it without privileges).
#pragma once

namespace quillet::platform {

// The priority asked for: below a sound server's own data thread, which rtkit gives its
// maximum (20 by default).
inline constexpr int kAudioRealtimePriority = 10;

// Asks rtkit to run the calling thread real-time (its policy, round-robin by default) at
// kAudioRealtimePriority (or rtkit's maximum if lower). Best effort: the first outcome is logged
// once per process, and a desktop without rtkit is not asked again. True when the thread runs
// real-time afterwards.
bool makeCurrentThreadRealtime();

}  // namespace quillet::platform
