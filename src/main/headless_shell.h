// SPDX-License-Identifier: Apache-2.0
// The answers of a headless run to the program's questions.
#pragma once

#include <optional>

#include "platform/prompts.h"

namespace quillet::main {

// The answers of a headless run: the welcome question No, the talk-back question Yes at
// once when Intercom/AutoTalkBack is on (else left open until the call ends); any other
// question gets its cautious answer (No, Cancel, OK); informing messages are logged.
std::optional<platform::PromptAnswer> headlessPolicy(const platform::Prompt& prompt);
void logInformingPrompt(const platform::Prompt& prompt);

}  // namespace quillet::main
