// SPDX-License-Identifier: Apache-2.0
// The headless answers to the program's questions.
#include "main/headless_shell.h"

#include "base/log.h"
#include "base/settings_store.h"

namespace quillet::main {

using platform::PromptAnswer;
using platform::PromptButtons;

std::optional<PromptAnswer> headlessPolicy(const platform::Prompt& prompt) {
  if (prompt.tag == "welcome") {
    return PromptAnswer::No;
  }
  if (prompt.tag == "talk-back") {
    if (base::SettingsStore::global().readBool("Intercom", "AutoTalkBack", false)) {
      return PromptAnswer::Yes;
    }
    return std::nullopt;  // stays open until the call ends: the call stays listen-only
  }
  base::logInfo("Question answered by the headless default: ", prompt.text);
  switch (prompt.buttons) {
    case PromptButtons::Ok:
      return PromptAnswer::Ok;
    case PromptButtons::OkCancel:
    case PromptButtons::RetryCancel:
      return PromptAnswer::Cancel;
    case PromptButtons::YesNo:
    case PromptButtons::YesNoCancel:
      return PromptAnswer::No;
  }
  return PromptAnswer::None;
}

void logInformingPrompt(const platform::Prompt& prompt) {
  std::string text = prompt.title.empty() ? prompt.text : prompt.title + ": " + prompt.text;
  if (prompt.icon == platform::PromptIcon::Error) {
    base::logError(text);
  } else {
    base::logInfo(text);
  }
}

}  // namespace quillet::main
